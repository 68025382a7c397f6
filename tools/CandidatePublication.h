// A release published as a candidate beside the stable release (`--rollout`): the stable
// product info, product file and module files stay as they are, the candidate's get
// names of their own, and the master index keeps the stable release's lines and names
// the candidate in lines that updaters which know nothing of candidates skip:
//   candidateversion=<VERSION>, candidateshare=<percent>,
//   candidateinfo=<file name of the candidate's product info>, candidateinfohash=<digest>
// The candidate's product info lies beside the stable one as "<name>.candidate.info.gz";
// its module files lie below "<UPDATEROOT>/candidate/<PRODUCTINFO>/", so that products
// sharing an update root keep their candidates apart. No file a product publishes may lie
// where a candidate could (LiesAmongCandidates: the description and ResolveProduct refuse
// one): another product's promotion or withdrawal would remove it. A later publication without
// `--rollout` drops the candidate's lines and files (it withdraws the candidate, or, when
// it publishes the candidate's product, promotes it).
#pragma once

#include <string>
#include <vector>

#include "ProductDescription.h"

// Whether `path` (relative to the output directory; a file's, or with `isFile` false a
// directory's) may lie where the candidate of some product of the tree lies: below a
// directory "candidate", at or in a name like a product info's, or a file named like a
// candidate's product info.
bool LiesAmongCandidates(const std::wstring& path, bool isFile);
// Gives the candidate's product info and module files their own paths.
void MakeCandidate(ProductDesc& product);
// The path of a product info file's candidate ("a/b.info.gz" -> "a/b.candidate.info.gz").
std::wstring CandidateInfoPath(const std::wstring& stableInfo);
// The stable release's lines of the index published in `outputDir` (product, version,
// productinfo, productinfohash). Throws Exception (message 1221) when there is none.
std::vector<std::string> StableIndexLines(const std::wstring& outputDir,
                                          const std::wstring& indexRel);
// Whether the index published in `outputDir` offers a candidate.
bool IndexOffersCandidate(const std::wstring& outputDir, const std::wstring& indexRel);
// The candidate's index lines.
std::vector<std::string> CandidateIndexLines(const ProductDesc& candidate, int share,
                                             const std::wstring& infoDigest);
// Removes the files of a candidate no longer offered: its product info beside
// `stableInfo` and its directory below `updateRoot` (and "candidate/" itself once it holds
// no other product's candidate). Gives what was removed.
std::vector<std::wstring> RemoveCandidateFiles(const std::wstring& outputDir,
                                               const std::wstring& updateRoot,
                                               const std::wstring& stableInfo);
