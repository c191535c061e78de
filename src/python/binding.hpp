#pragma once
// The one wall between the interpreter and the core. Every class file is written as: match,
// take the receiver, convert, call the core, convert back.

#include "python/barrier.hpp"
#include "python/convert.hpp"
#include "python/instance.hpp"
#include "python/messages.hpp"
