// The one file of the application that sees the codec: it instantiates the coders of its record,
// and every other file decodes and encodes it with tarn/json/json.hpp alone.
#include "service_notice.hpp"

#include "tarn/json/json_codec.hpp"

TARN_JSON_CODABLE(notices::ServiceNotice);
