// Where the download steps fetch from and where they put what they fetch. The server
// always holds module files compressed, a ".gz" beside the name the product info gives;
// locally the files land below the run's temporary directory in the server's layout.
#pragma once

#include <string>

namespace UpdateNew {

// The product info address to fetch. Without a given name it is `defaultAddress`. A given
// name replaces the file-name part of the default and keeps its directory; a given name
// longer than five characters that ends in ".upd" (any letter case) has that ending
// replaced by ".info.gz", one that ends in ".info" (any letter case) gets ".gz" appended;
// other names are used as they are.
std::wstring ProductInfoRemoteName(const std::wstring& defaultAddress,
                                   const std::wstring& givenName);

// The local path of a fetched address: `tmpRoot` joined with the path part of the address
// ("\" turned into "/"). Empty, "." and ".." components of the path are dropped, so a
// server-given name can never place a file outside the temporary root.
std::wstring LocalPathOfAddress(const std::wstring& tmpRoot, const std::wstring& address);

// `root` joined with `relative` after the empty, "." and ".." components of `relative`
// ("\" counts as "/") are dropped: the result never leaves `root`.
std::wstring JoinConfined(const std::wstring& root, const std::wstring& relative);

// The path of `address` below the server's base address `server` (a trailing "/" of
// either does not count), without a leading "/": where a mirror keeps the file. An address
// that does not lie below the server gives its last component.
std::wstring PathBelowServer(const std::wstring& server, const std::wstring& address);

// A module file's compressed address on the server: `base` (the server joined with the
// update root), the module's SOURCE and the file's NAME joined, "\" turned into "/", plus
// ".gz".
std::wstring ModuleFileRemoteName(const std::wstring& base, const std::wstring& source,
                                  const std::wstring& name);

// A module file's uncompressed local name: the download directory, the module's SOURCE and
// the file's NAME joined, "\" turned into "/". The compressed copy is this name + ".gz".
std::wstring ModuleFileLocalName(const std::wstring& downloadDir, const std::wstring& source,
                                 const std::wstring& name);

// Where a patch of a module file lies, beside the compressed file (`gzName`, remote or
// local): that name without ".gz", a dot, the digest text of the version the patch applies
// to, "-", the digest text of the version it rebuilds (FILEMD5), and ".patch". Each pair
// of versions has a name of its own, so a later publication never puts other bytes where
// a client that read an earlier product info fetches a patch.
std::wstring PatchName(const std::wstring& gzName, const std::wstring& baseMd5,
                       const std::wstring& targetMd5);

// The ending of compressed module files.
extern const wchar_t* const kGzSuffix;  // ".gz"

}  // namespace UpdateNew
