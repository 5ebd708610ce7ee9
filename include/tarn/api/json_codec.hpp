// The opt-in JSON codec for records of the application's own (link tarn::json).
// Moved to tarn/json/json_codec.hpp; this path stays for code written against it.
#pragma once

#include "tarn/json/json_codec.hpp"
