// Typed decoding of the largest answers the client sees (a 1,000-server list, an account with 200
// devices, a billing catalogue) against two references on the same bytes: simdjson's bare DOM
// parse, the ceiling no decoder built on it can pass, and nlohmann::json with hand-written
// from_json functions, what a C++ developer would write instead.
//
// Before timing anything, each document is decoded both ways and the records compared, so the
// three variants are known to do the same work.
#include "codec_cases.hpp"

int main(int argc, char** argv) { return tarn::bench::runAsBenchmarks(tarn::bench::decodeCases(), argc, argv); }
