// Encoding the request records the client sends, and a 1,000-server list, against nlohmann::json:
// a hand-written to_json followed by dump() (what replaces our encoder), and dump() alone of a
// tree built beforehand (nlohmann's writer at its best).
#include "codec_cases.hpp"

int main(int argc, char** argv) { return tarn::bench::runAsBenchmarks(tarn::bench::encodeCases(), argc, argv); }
