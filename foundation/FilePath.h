// One file system path, held as its text: callers read and extend it as a
// string. '/' separates components and a final '/' marks a directory path;
// nothing is normalised ('.', '..' and doubled separators are plain text).
#pragma once

#include <string>

namespace TIVRA {

class FilePath : public std::string {
public:
    using std::string::string;
    FilePath() = default;
    FilePath(const std::string& text) : std::string(text) {}
    using std::string::operator=;

    // The target of /proc/self/exe (at most 2049 bytes); empty when unreadable.
    void setMySelfPath();
    static std::string getMyPath();

    void setFilePath(const std::string& text);
    // The text with a final '/' added when missing; "./" for an empty text.
    void setDirectory(const std::string& text);
    // Empty or ending with '/'; the file system is not asked.
    bool isDirectory() const;

    // 'dir/file' -> 'dir/'. False, path unchanged, for an empty path, a
    // directory path or a path without '/'.
    bool removeFilename();
    // '/a/b/' -> '/a/'. False, path unchanged, when there is no level above.
    bool popupDirectory();
    // [first, last) up to and including its last '/'; empty without one.
    static std::string separate(std::string::const_iterator first, std::string::const_iterator last);

    // Looks for `name` in the path's directory and every directory above it
    // (a name ending in '/' wants a directory, any other a non-directory);
    // on a match the path becomes the candidate found.
    bool AutoPath(const std::string& name);

    // A directory path must name an existing directory, any other path an
    // existing non-directory.
    bool isValid() const;
    // The path exists and is a directory exactly when `isDirectory`.
    static bool isValid(const std::string& path, bool isDirectory);
    // The path exists as anything; 'file/' counts when 'file' exists.
    static bool isValid(const std::string& path);
};

}  // namespace TIVRA
