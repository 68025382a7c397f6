// Reader of the product info file: the XML document that lists the product's version, its
// modules with their commands and locations, and every file with sizes and digests. It
// fills an UpdateInfo, filters commands, destinations and files by operating system,
// hands each file entry to the function-replacing plug-in, and checks the document's own
// checksum.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "product/BasicXMLParser.h"
#include "product/UpdateInfo.h"
#include "product/UpdateOSChecker.h"

namespace UpdateNew {

class UpdateCallbacks;

class UpdateXMLParser : public BasicXMLParser {
public:
    // `update` receives the data and must outlive the parser. With `merge` the record
    // already holds data from an earlier file and every value given again must agree with
    // it (new modules are refused). `callbacks` is the run's plug-in dispatcher, not owned.
    // With `mirror` nothing is filtered by operating system and destinations are emptied.
    UpdateXMLParser(UpdateInfo* update, bool merge, UpdateCallbacks* callbacks, bool mirror);
    ~UpdateXMLParser() override;

    // Receives each file record as it is kept (module index, the record in the module),
    // for work that may start before the whole document is read. Called on this thread;
    // what it receives must be taken as a hint: a record handed over may still be dropped
    // (a refused document, or a second reading of it, which hands every record over again).
    using FileSink = std::function<void(int modulePos, const FileRecord& file)>;
    void setFileSink(FileSink sink) { m_fileSink = std::move(sink); }

    // parse(), then the checksum check: the document without its "<MD5 value=" line must
    // have the digest that UPDATE/MD5 gives (lower case). Failures throw
    // CUpdateCriticalException: 635 (message 123) when the copy for the check cannot be
    // written, 636 (message 132) on a mismatch.
    void parseFile(const std::wstring& fileName);
    // The SHA-256 (lower-case hex) of the file the last parseFile() checked, read in the
    // same pass as its checksum copy; empty when that copy could not be written.
    const std::string& fileSha256() const { return m_fileSha256; }

    void attributeHandler(const std::wstring& name, const std::wstring& value, int depth) override;
    void startElementHandler(int depth, const std::wstring& name) override;
    void textHandler(int depth, const std::wstring& name, const std::wstring& text) override;
    void startNodeHandler(int depth, const std::wstring& name) override;
    void endNodeHandler(int depth, const std::wstring& name) override;
    bool leafHandler(int depth, const std::string& name, const Attribute* attributes, size_t count,
                     const std::string& text) override;

protected:
    void wellFormedHandler() override;

public:
    // Position of an element name in the row of its depth, or -1 when it has no meaning
    // there (names compared exactly).
    static int positionOf(int depth, const std::wstring& name);

private:
    // Back to the state before the first element, for a second walk of the document.
    void resetWalk();
    // A debug line of the walk; held until the document proved well formed while m_holdLog.
    void logWalkLine(const std::wstring& line);
    void startAny(int depth, const std::wstring& name);
    // What startAny() does once the element's name is known by its position in its depth's
    // row (-1: none) and whether it is a PATCH.
    void startAt(int depth, int position, bool patch);
    void productValue(const std::wstring& name, const std::wstring& value);
    void moduleValue(const std::wstring& value);
    void fileValue(const std::wstring& value);
    void completeFile();
    // An attribute of a PATCH element inside a file entry.
    void patchAttribute(const std::wstring& name, const std::wstring& value);
    // The merge rule: outside merge mode the value replaces the field; in merge mode the
    // field must already hold exactly the value (message 156 otherwise).
    void storeField(std::wstring& field, const std::wstring& value);
    // A module command or destination with its optional ";OS=" suffix.
    void storeOsField(std::wstring& field, const std::wstring& value);
    // Refuses (635) a path that would leave the module's directory: absolute or with "..".
    void requireRelativePath(const std::wstring& value);
    // Whether the element being handled at `depth` lies where the tables give it meaning:
    // module children inside a named MODULE, file children inside a FILE of that module.
    bool inContext(int depth) const;

    UpdateInfo* m_update;
    int m_modulePos = -1;   // current module, -1 when the current MODULE has no name yet
    int m_elementPos = -1;  // position of the current element in its depth's row
    std::wstring m_elementName;
    FileRecord m_file;            // the file entry being assembled
    std::string m_fileZipSha256;  // its ZIPSHA256, when the record has one
    int m_childCount = 0;         // counted children of all file entries so far
    FileXmlData mcFileXmlData;    // (element name, value) pairs of the current file entry
    size_t m_fileXmlCount = 0;    // the pairs of mcFileXmlData that belong to it
    bool m_merge;
    bool m_mirror;
    CUpdateOSChecker m_osChecker;
    std::wstring m_osVerdictFor;  // the OS text whose match m_osVerdict holds
    bool m_osVerdict = false;
    bool m_osVerdictKnown = false;
    UpdateCallbacks* m_callbacks;
    std::vector<FilePatchInfo> m_patches;  // PATCH elements of the current file entry
    bool m_inPatch = false;                // the element being handled is a PATCH
    std::vector<int> m_openNodes;          // positions of the open elements with children, by depth
    FileSink m_fileSink;
    bool m_holdLog = false;  // a single reading: debug lines wait for its end
    std::vector<std::wstring> m_heldLines;
    std::string m_fileSha256;  // of the file the last parseFile() checked
    std::wstring m_leafValue;  // the value leafHandler() hands on, its storage reused
};

}  // namespace UpdateNew
