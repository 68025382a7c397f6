// The master index a published tree holds, as the publisher reads it before it writes a
// new one: its serial bounds the next one (of this tree and of every release published
// from it, so that serials grow from one release directory to the next), and its digest
// names the content-named files of that publication, which stay until the next.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "product/SignedIndex.h"

struct PublishedIndex {
    bool present = false;  // the tree holds an index
    bool isSigned = false;
    std::string sha256;             // SHA-256 text of its bytes
    UpdateNew::SignedIndex fields;  // its signed fields, when signed
};

// Reads `<tree>/<indexRel>`. Throws Exception (message 938) for an index that is not a
// checked text file or whose signed fields cannot be read; without `strict` such an index
// reads as an unsigned one (an unsigned publication simply replaces it).
PublishedIndex ReadPublishedIndex(const std::wstring& tree, const std::wstring& indexRel,
                                  bool strict = true);

// The serial of a signed publication into `output`, whose index is `current`, made from
// the earlier trees `previous`: `requested` when it is not 0, otherwise one above the
// highest serial found there and at least `now`. Throws Exception (message 986) for a
// requested serial that is not above one found, naming the tree that holds it.
uint64_t ChooseSerial(const PublishedIndex& current, const std::wstring& output,
                      const std::vector<std::wstring>& previous, const std::wstring& indexRel,
                      uint64_t requested, time_t now);
