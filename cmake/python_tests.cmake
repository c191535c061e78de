# Registers the Python test suites with CTest, run against the module in this build
# folder, each interpreter in its own virtual environment of the pinned test requirements
# (scripts/run-pytest.sh). A normal build runs them under Debian's python3 and under each
# pyenv CPython 3.9-3.13 (an absent one is reported as skipped), the unit suite again under the
# interpreter's debug allocator and a part of it under valgrind's memcheck, and the
# packaging suite once; a sanitizer build runs them once, under Debian's python3 with the
# AddressSanitizer runtime preloaded and LeakSanitizer looking when the session ends.

set(kestrelite_run_pytest "${CMAKE_SOURCE_DIR}/scripts/run-pytest.sh")
set(kestrelite_pytest_skip_code 77)

# The suites that exist now; configuring again picks up one added later.
set(kestrelite_pytest_dirs "")
foreach(dir tests/python tests/integration)
  if(IS_DIRECTORY "${CMAKE_SOURCE_DIR}/${dir}")
    list(APPEND kestrelite_pytest_dirs "${CMAKE_SOURCE_DIR}/${dir}")
  endif()
endforeach()

# Debian's interpreter: the sanitizer, allocator, memcheck and packaging runs use it.
set(kestrelite_system_python /usr/bin/python3)

if(KESTRELITE_SANITIZE)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    message(FATAL_ERROR "the sanitizer test run preloads GCC's libasan; use g++")
  endif()
  execute_process(
    COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=libasan.so
    OUTPUT_VARIABLE kestrelite_asan_runtime
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT EXISTS "${kestrelite_asan_runtime}")
    message(FATAL_ERROR "libasan.so not found next to ${CMAKE_CXX_COMPILER}")
  endif()
  add_test(NAME pytest.asan-ubsan
    COMMAND bash "${kestrelite_run_pytest}" --sanitize "${kestrelite_system_python}"
            "${CMAKE_BINARY_DIR}" ${kestrelite_pytest_dirs}
    WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}")
  set_tests_properties(pytest.asan-ubsan PROPERTIES
    ENVIRONMENT "KESTRELITE_ASAN_RUNTIME=${kestrelite_asan_runtime}"
    TIMEOUT 1800)
else()
  add_test(NAME pytest.debian-python3
    COMMAND bash "${kestrelite_run_pytest}" "${kestrelite_system_python}"
            "${CMAKE_BINARY_DIR}" ${kestrelite_pytest_dirs}
    WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}")
  set_tests_properties(pytest.debian-python3 PROPERTIES TIMEOUT 900)
  # The interpreter's debug allocator hooks: freed and spare bytes are filled with patterns
  # and checked, and every allocation is checked to be made with the GIL held.
  add_test(NAME pytest.debian-python3.pymalloc-debug
    COMMAND bash "${kestrelite_run_pytest}" "${kestrelite_system_python}"
            "${CMAKE_BINARY_DIR}" "${CMAKE_SOURCE_DIR}/tests/python"
    WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}")
  set_tests_properties(pytest.debian-python3.pymalloc-debug PROPERTIES
    ENVIRONMENT "PYTHONMALLOC=debug;KESTRELITE_HYPOTHESIS_PROFILE=quick"
    TIMEOUT 900)
  # A representative part under valgrind's memcheck, gated on its error exit code.
  find_program(kestrelite_valgrind valgrind)
  if(kestrelite_valgrind)
    add_test(NAME memcheck.valgrind
      COMMAND bash "${CMAKE_SOURCE_DIR}/scripts/valgrind.sh" "${CMAKE_BINARY_DIR}"
      WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}")
    set_tests_properties(memcheck.valgrind PROPERTIES TIMEOUT 1200)
  endif()
  # Builds an sdist and a wheel from it through a CMake build of its own and tries the wheel
  # in fresh virtual environments of several interpreters: once is enough.
  if(IS_DIRECTORY "${CMAKE_SOURCE_DIR}/tests/packaging")
    add_test(NAME pytest.packaging
      COMMAND bash "${kestrelite_run_pytest}" "${kestrelite_system_python}"
              "${CMAKE_BINARY_DIR}" "${CMAKE_SOURCE_DIR}/tests/packaging"
      WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}")
    set_tests_properties(pytest.packaging PROPERTIES TIMEOUT 900)
  endif()
  foreach(minor 9 10 11 12 13)
    # Resolved by the script when the test runs, through `pyenv root`.
    add_test(NAME pytest.cpython-3.${minor}
      COMMAND bash "${kestrelite_run_pytest}" "cpython-3.${minor}"
              "${CMAKE_BINARY_DIR}" ${kestrelite_pytest_dirs}
      WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}")
    set_tests_properties(pytest.cpython-3.${minor} PROPERTIES
      SKIP_RETURN_CODE ${kestrelite_pytest_skip_code}
      TIMEOUT 900)
  endforeach()
endif()
