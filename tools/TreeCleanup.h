// What a publication removes from the tree once its new master index is in place: files
// of earlier publications that no client working from the new or the replaced index
// needs. Each removed file is listed in the report (relative to the tree), each that
// could not be removed as a warning; links and directories are never removed.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "Publisher.h"
#include "TreeWriter.h"

// The patch files beside the published module files (`gzRels`) that are not `listed`
// (the new product info's). They are patches from versions no longer named by
// --previous, to versions no longer published, or named as earlier publishers named
// them. A client still working from the replaced product info that misses one fetches
// the whole file.
void RemoveUnlistedPatches(const std::vector<std::wstring>& gzRels,
                           const std::set<std::wstring>& listed, const TreeWriter& tree,
                           PublishReport& report);

// The signature files beside the index `indexRel` beyond the first `signatures` (left by a
// publication signed with more keys), and the files named after content beside it and
// beside the product info `infoRel` (ContentSignatureName, ContentProductInfoName) that
// are not in `keep` (this publication's and the replaced one's).
void RemoveStaleSignedFiles(const std::wstring& indexRel, const std::wstring& infoRel,
                            int signatures, const std::set<std::wstring>& keep,
                            const TreeWriter& tree, PublishReport& report);
