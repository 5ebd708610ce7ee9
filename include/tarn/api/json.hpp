// The library's JSON conventions: decoder and encoder presets, errors, member tables.
// Moved to tarn/json/json.hpp; this path stays for code written against it.
#pragma once

#include "tarn/json/json.hpp"
