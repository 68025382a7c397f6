// What the compiler produces from the parsed catalogue.
#pragma once

#include <string>
#include <vector>

#include "Catalogue.h"

namespace msgc {

// The complete message file: header, zlib-compressed block A (directory, texts,
// placeholder tables), no block B. Empty with `error` set when compression fails.
std::vector<unsigned char> BuildMessageFile(const std::vector<Message>& messages,
                                            std::string& error);

// The C++ header that lets code check message numbers and parameter counts at compile
// time (MsgCatalogue::params(N)); it holds no texts, so editing a text alone does not
// change it.
std::string BuildCatalogueHeader(const std::vector<Message>& messages);

}  // namespace msgc
