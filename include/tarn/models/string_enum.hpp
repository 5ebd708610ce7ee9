// String enumerations: enum classes whose cases each carry one wire string.
// Moved to tarn/json/string_enum.hpp; this path stays for code written against it.
#pragma once

#include "tarn/json/string_enum.hpp"
