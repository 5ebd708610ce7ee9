// The decoder's messages that quote text of the answer: whoever redacts a decoding error's
// description redacts only what they quote, never the decoder's own words.
#pragma once

#include <array>
#include <string_view>

namespace tarn::detail {

inline constexpr std::string_view invalidEnumerationMessage = "Cannot initialize enumeration from invalid String value ";
inline constexpr std::string_view unfitNumberMessage = "Parsed JSON number <";
inline constexpr std::string_view unfitNumberMessageEnd = "> does not fit in Int64.";

inline constexpr std::array<std::string_view, 2> messagesQuotingTheAnswer{invalidEnumerationMessage, unfitNumberMessage};

}  // namespace tarn::detail
