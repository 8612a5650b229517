#include "foundation/FilePath.h"

#include <sys/stat.h>
#include <unistd.h>

namespace TIVRA {

namespace {

bool endsWithSlash(const std::string& s)
{
    return !s.empty() && s.back() == '/';
}

// The text to ask the file system about for a directory path: without its
// final '/', unless that would leave nothing ("/").
std::string withoutFinalSlash(const std::string& s)
{
    if (s.size() > 1 && s.back() == '/') {
        return s.substr(0, s.size() - 1);
    }
    return s;
}

// 0 no such entry, 1 a non-directory, 2 a directory (links followed).
int statKind(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        return 0;
    }
    return S_ISDIR(st.st_mode) ? 2 : 1;
}

// The test shared by isValid() and AutoPath: a directory path must be an
// existing directory, any other path an existing non-directory.
bool existsAsWanted(const std::string& path)
{
    if (endsWithSlash(path)) {
        return statKind(withoutFinalSlash(path)) == 2;
    }
    return statKind(path) == 1;
}

}  // namespace

std::string FilePath::getMyPath()
{
    // Zeroed beforehand and taken up to the first 0, so an overlong target
    // is cut at the buffer's end.
    char buf[2049] = {};
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0) {
        return {};
    }
    size_t len = 0;
    while (len < static_cast<size_t>(n) && buf[len] != 0) {
        ++len;
    }
    return std::string(buf, len);
}

void FilePath::setMySelfPath()
{
    assign(getMyPath());
}

void FilePath::setFilePath(const std::string& text)
{
    assign(text);
}

void FilePath::setDirectory(const std::string& text)
{
    if (text.empty()) {
        assign("./");
        return;
    }
    assign(text);
    if (back() != '/') {
        push_back('/');
    }
}

bool FilePath::isDirectory() const
{
    return empty() || back() == '/';
}

bool FilePath::removeFilename()
{
    if (isDirectory()) {
        return false;
    }
    const size_t slash = rfind('/');
    if (slash == npos) {
        return false;
    }
    resize(slash + 1);
    return true;
}

bool FilePath::popupDirectory()
{
    if (!endsWithSlash(*this)) {
        return false;
    }
    std::string up = separate(cbegin(), cend() - 1);
    if (up.empty()) {
        return false;
    }
    assign(std::move(up));
    return true;
}

std::string FilePath::separate(std::string::const_iterator first, std::string::const_iterator last)
{
    for (auto it = last; it != first;) {
        --it;
        if (*it == '/') {
            return std::string(first, it + 1);
        }
    }
    return {};
}

bool FilePath::AutoPath(const std::string& name)
{
    if (!isDirectory()) {
        return false;
    }
    std::string dir = *this;
    for (;;) {
        std::string candidate = dir + name;
        if (!candidate.empty() && existsAsWanted(candidate)) {
            assign(std::move(candidate));
            return true;
        }
        if (!endsWithSlash(dir)) {
            return false;
        }
        std::string up = separate(dir.cbegin(), dir.cend() - 1);
        if (up.empty()) {
            return false;
        }
        dir = std::move(up);
    }
}

bool FilePath::isValid() const
{
    if (empty()) {
        return false;
    }
    return existsAsWanted(*this);
}

bool FilePath::isValid(const std::string& path, bool isDirectory)
{
    if (path.empty()) {
        return false;
    }
    const int kind = statKind(isDirectory ? withoutFinalSlash(path) : path);
    return kind != 0 && (kind == 2) == isDirectory;
}

bool FilePath::isValid(const std::string& path)
{
    if (path.empty()) {
        return false;
    }
    if (statKind(path) != 0) {
        return true;
    }
    return endsWithSlash(path) && statKind(withoutFinalSlash(path)) != 0;
}

}  // namespace TIVRA
