// tarn::Redactor: keeps credentials and terminal-hostile characters out of text.
// Moved to tarn/text/redaction.hpp; this path stays for code written against it.
#pragma once

#include "tarn/text/redaction.hpp"
