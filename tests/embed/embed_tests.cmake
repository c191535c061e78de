# Programs that embed an interpreter, built against its shared libpython:
#   binding_tests         the binding's own types (results, errors), linked with Debian's python3
#   embed.<interpreter>   two rounds of Py_Initialize / import / calls / Py_Finalize, for
#                         Debian's python3 and the newest pyenv CPython 3.13
# An interpreter without a shared libpython is registered as a skipped test that says so.

set(kestrelite_embed_skip_code 77)

# Sets <prefix>_OK, <prefix>_INCLUDE, <prefix>_LIBRARY (or <prefix>_WHY when unusable).
function(kestrelite_embed_python prefix python)
  execute_process(
    COMMAND "${python}" -c
      "import sysconfig as s, os; v = s.get_config_var; print(v('Py_ENABLE_SHARED') or 0); print(s.get_paths()['include']); print(os.path.join(v('LIBDIR') or '', v('LDLIBRARY') or ''))"
    OUTPUT_VARIABLE out
    RESULT_VARIABLE rc
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(${prefix}_OK FALSE PARENT_SCOPE)
  if(NOT rc EQUAL 0)
    set(${prefix}_WHY "${python} did not run" PARENT_SCOPE)
    return()
  endif()
  string(REPLACE "\n" ";" out "${out}")
  list(GET out 0 shared)
  list(GET out 1 include)
  list(GET out 2 library)
  if(NOT shared EQUAL 1 OR NOT EXISTS "${library}")
    set(${prefix}_WHY "${python} has no shared libpython (Py_ENABLE_SHARED=${shared})" PARENT_SCOPE)
    return()
  endif()
  if(NOT EXISTS "${include}/Python.h")
    set(${prefix}_WHY "${python} has no development headers" PARENT_SCOPE)
    return()
  endif()
  set(${prefix}_OK TRUE PARENT_SCOPE)
  set(${prefix}_INCLUDE "${include}" PARENT_SCOPE)
  set(${prefix}_LIBRARY "${library}" PARENT_SCOPE)
endfunction()

function(kestrelite_skipped_test name why)
  add_test(NAME ${name} COMMAND sh -c "echo 'skipped: ${why}'; exit ${kestrelite_embed_skip_code}")
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE ${kestrelite_embed_skip_code})
endfunction()

# The build machine's interpreters cannot be embedded in a program built for another one.
if(CMAKE_CROSSCOMPILING)
  foreach(name binding_tests embed.debian-python3 embed.cpython-3.13)
    kestrelite_skipped_test(${name} "a cross build embeds no interpreter of the build machine")
  endforeach()
  return()
endif()

# An embedding program keeps what the interpreter leaves at exit: leak reports would be its.
set(kestrelite_embed_env "ASAN_OPTIONS=detect_leaks=0")

kestrelite_embed_python(kestrelite_debian /usr/bin/python3)
if(kestrelite_debian_OK)
  add_executable(binding_tests tests/embed/result_test.cpp)
  target_link_libraries(binding_tests PRIVATE kestrelite_binding "${kestrelite_debian_LIBRARY}"
                        GTest::gtest GTest::gtest_main)
  add_test(NAME binding_tests COMMAND binding_tests)
  set_tests_properties(binding_tests PROPERTIES ENVIRONMENT "${kestrelite_embed_env}")
else()
  kestrelite_skipped_test(binding_tests "${kestrelite_debian_WHY}")
endif()

# The two rounds, for Debian's python3 and the newest pyenv 3.13.
function(kestrelite_embed_round_test name python)
  kestrelite_embed_python(info "${python}")
  if(NOT info_OK)
    kestrelite_skipped_test(${name} "${info_WHY}")
    return()
  endif()
  set(exe ${name}_program)
  string(REPLACE "." "_" exe "${exe}")
  add_executable(${exe} tests/embed/embed_test.cpp)
  target_include_directories(${exe} PRIVATE "${info_INCLUDE}")
  target_link_libraries(${exe} PRIVATE "${info_LIBRARY}")
  add_dependencies(${exe} _kestrelite_rs)
  add_test(NAME ${name} COMMAND ${exe} "${CMAKE_BINARY_DIR}")
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${kestrelite_embed_env}" TIMEOUT 120)
endfunction()

kestrelite_embed_round_test(embed.debian-python3 /usr/bin/python3)

if(DEFINED ENV{PYENV_ROOT})
  set(kestrelite_pyenv_root "$ENV{PYENV_ROOT}")
else()
  set(kestrelite_pyenv_root "$ENV{HOME}/.pyenv")
endif()
file(GLOB kestrelite_pyenv_313 LIST_DIRECTORIES true "${kestrelite_pyenv_root}/versions/3.13.*")
# The newest patch release: a natural sort orders 3.13.9 before 3.13.10.
list(SORT kestrelite_pyenv_313 COMPARE NATURAL)
list(LENGTH kestrelite_pyenv_313 kestrelite_pyenv_313_count)
if(kestrelite_pyenv_313_count GREATER 0)
  list(GET kestrelite_pyenv_313 -1 kestrelite_pyenv_313)
  kestrelite_embed_round_test(embed.cpython-3.13 "${kestrelite_pyenv_313}/bin/python3")
else()
  kestrelite_skipped_test(embed.cpython-3.13 "no pyenv CPython 3.13 under ${kestrelite_pyenv_root}")
endif()
