#include "foundation/FileInf.h"

#include <string_view>

#include "foundation/FileBuffer.h"

namespace TIVRA {

FileInf::KeyMap FileInf::dummy;

namespace {

// Only the blank is trimmed, and a text of blanks only is kept whole, so a
// value or group name of blanks survives a round trip through the file.
std::string_view trimFront(std::string_view s)
{
    const size_t p = s.find_first_not_of(' ');
    return p == std::string_view::npos ? s : s.substr(p);
}

std::string_view trimBack(std::string_view s)
{
    const size_t p = s.find_last_not_of(' ');
    return p == std::string_view::npos ? s : s.substr(0, p + 1);
}

// State of one parse: where entries go and which entry a continuation
// line extends. Starts fresh for every load or set_string.
struct FileInfParser {
    FileInf& inf;
    char join;
    std::string targetGroup;             // empty: "global"
    FileInf::KeyMap* target = nullptr;   // resolved lazily: a header alone makes no group
    FileInf::Unit* continued = nullptr;  // map nodes are stable, so this stays valid

    FileInfParser(FileInf& store, char joinChar) : inf(store), join(joinChar) {}

    void line(std::string_view l)
    {
        if (l.empty()) {
            return;
        }
        l = trimFront(l);
        if (l[0] == ';' || l[0] == '#' || (l.size() >= 2 && l[0] == '/' && l[1] == '/')) {
            return;  // comments keep a continuation going
        }
        if (l[0] == '[') {
            header(trimBack(l));
            return;
        }
        const size_t eq = l.find('=');
        if (eq == std::string_view::npos) {
            if (continued != nullptr && join != 0) {
                continuation(trimBack(l));
            }
            return;
        }
        const std::string_view key = trimBack(l.substr(0, eq));
        if (key.empty()) {
            return;
        }
        const std::string_view value = trimBack(trimFront(l.substr(eq + 1)));
        if (target == nullptr) {
            target = &inf.groups[targetGroup.empty() ? std::string("global") : targetGroup];
        }
        FileInf::Unit& unit = (*target)[std::string(key)];
        unit.value.assign(value);
        // Wraps instead of overflowing on an absurd number of entries.
        inf.entrySeq = static_cast<int32_t>(static_cast<uint32_t>(inf.entrySeq) + 1u);
        unit.seq = inf.entrySeq;
        continued = &unit;
    }

    void header(std::string_view l)
    {
        continued = nullptr;
        if (l.size() < 2 || l.back() != ']') {
            return;  // not closed: entries stay with the group before
        }
        targetGroup.assign(trimBack(trimFront(l.substr(1, l.size() - 2))));
        target = nullptr;
    }

    void continuation(std::string_view l)
    {
        std::string& v = continued->value;
        if (join == ' ') {
            v.append(l);
        } else if (v.empty()) {
            v.assign(l);
        } else if (v.back() == join && l.front() == join) {
            v.append(l.substr(1));
        } else if (v.back() == join || l.front() == join) {
            v.append(l);
        } else {
            v.push_back(join);
            v.append(l);
        }
    }
};

}  // namespace

FileInf::FileInf() : currentGroup("global") {}

FileInf::FileInf(const std::string& name) : currentGroup(name) {}

FileInf::FileInf(const FileInf& other) : FileInf()
{
    copy_data(other);
    set_current_group(other.currentGroup);
}

FileInf& FileInf::operator=(const FileInf& other)
{
    copy(other);
    return *this;
}

FileInf::~FileInf() = default;

void FileInf::copy(const FileInf& other)
{
    copy_data(other);
    set_current_group(other.currentGroup);
}

void FileInf::copy_data(const FileInf& other)
{
    if (&other != this) {
        groups = other.groups;
    }
    entrySeq = other.entrySeq;
    groupMap = nullptr;
    subGroupMap = nullptr;
    set_current_group(currentGroup);
}

void FileInf::clear_data()
{
    groups.clear();
    groupMap = nullptr;
    subGroupMap = nullptr;
    entrySeq = 0;
}

bool FileInf::load(const std::string& path, char join)
{
    FileBuffer file;
    if (!file.load(path)) {
        return false;
    }
    std::list<std::string> lines;
    if (!file.get_string_list(lines, join != 0)) {
        return false;
    }
    load(lines, join);
    loadedPath = path;
    return true;
}

void FileInf::load(const std::list<std::string>& lines, char join)
{
    FileInfParser parser(*this, join);
    for (const std::string& l : lines) {
        parser.line(l);
    }
    set_current_group(currentGroup);
}

void FileInf::set_string(const std::string& text)
{
    FileInfParser parser(*this, 0);
    const std::string_view all(text);
    size_t start = 0;
    while (start < all.size()) {
        const size_t stop = all.find_first_of("\r\n", start);
        const size_t end = stop == std::string_view::npos ? all.size() : stop;
        parser.line(all.substr(start, end - start));
        start = end + 1;
    }
    set_current_group(currentGroup);
}

void FileInf::set_current_group(const std::string& name)
{
    currentGroup = name.empty() ? std::string("global") : name;
    auto find = [this](const std::string& n) -> KeyMap* {
        const auto it = groups.find(n);
        return it == groups.end() ? nullptr : &it->second;
    };
    const size_t dot = currentGroup.find('.');
    if (dot == std::string::npos) {
        groupMap = find(currentGroup);
        subGroupMap = nullptr;
    } else {
        groupMap = find(currentGroup.substr(0, dot));
        subGroupMap = find(currentGroup);
    }
}

std::string FileInf::get(const std::string& key) const
{
    const KeyMap* m = subGroupMap != nullptr ? subGroupMap : groupMap;
    if (m == nullptr) {
        return {};
    }
    const auto it = m->find(key);
    return it == m->end() ? std::string() : it->second.value;
}

int64_t FileInf::get64(const std::string& key) const
{
    const std::string v = get(key);
    size_t i = 0;
    while (i < v.size() && (v[i] == ' ' || (v[i] >= '\t' && v[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < v.size() && (v[i] == '+' || v[i] == '-')) {
        negative = v[i] == '-';
        ++i;
    }
    // Accumulate the magnitude unsigned; the negative side holds one more.
    const uint64_t limit = negative ? uint64_t{INT64_MAX} + 1 : uint64_t{INT64_MAX};
    uint64_t magnitude = 0;
    bool saturated = false;
    for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) {
        const unsigned digit = static_cast<unsigned>(v[i] - '0');
        if (!saturated) {
            if (magnitude > (limit - digit) / 10) {
                saturated = true;
            } else {
                magnitude = magnitude * 10 + digit;
            }
        }
    }
    if (saturated) {
        return negative ? INT64_MIN : INT64_MAX;
    }
    if (negative) {
        return magnitude == uint64_t{INT64_MAX} + 1 ? INT64_MIN : -static_cast<int64_t>(magnitude);
    }
    return static_cast<int64_t>(magnitude);
}

void FileInf::set(const std::string& key, const std::string& value)
{
    groups[currentGroup][key].value = value;
}

void FileInf::set64(const std::string& key, uint64_t number)
{
    set(key, std::to_string(number));
}

std::string FileInf::get_group_string(const std::string& name) const
{
    std::string out;
    const auto it = groups.find(name);
    if (it == groups.end()) {
        return out;
    }
    bool first = true;
    for (const auto& [key, unit] : it->second) {
        if (!first) {
            out.push_back('\n');
        }
        first = false;
        out.append(key).push_back('=');
        out.append(unit.value);
    }
    return out;
}

void FileInf::get_string(std::string& out) const
{
    out.clear();
    for (const auto& [name, keys] : groups) {
        out.push_back('[');
        out.append(name).append("]\r\n");
        for (const auto& [key, unit] : keys) {
            if (unit.value.empty()) {
                continue;  // an empty value reads the same as a missing key
            }
            out.append(key).push_back('=');
            out.append(unit.value).append("\r\n");
        }
        out.append("\r\n");
    }
}

bool FileInf::save(const std::string& path) const
{
    std::string text;
    get_string(text);
    FileBuffer file;
    file.write(text.data(), text.size());
    return file.save(path);
}

void FileInf::delete_space_front(std::string& text)
{
    const size_t p = text.find_first_not_of(' ');
    if (p != std::string::npos) {
        text.erase(0, p);
    }
}

void FileInf::delete_space_back(std::string& text)
{
    const size_t p = text.find_last_not_of(' ');
    if (p != std::string::npos) {
        text.resize(p + 1);
    }
}

}  // namespace TIVRA
