// Arbitrary bytes through the settings parser. Byte 0 is the join character,
// the rest is the file. The file goes the loader's way (split into lines,
// then parsed) and, whole, through set_string; then every group and key it
// made, and names cut from the input, are queried. Besides not crashing:
// the split yields clean lines, lookups agree with the stored table, get64
// agrees with strtoll, a copy owns its selection, and the output form is
// stable once read back.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>
#include <vector>

#include "foundation/FileBuffer.h"
#include "foundation/FileInf.h"

namespace {

void require(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}

std::string trimmed(std::string s)
{
    TIVRA::FileInf::delete_space_front(s);
    TIVRA::FileInf::delete_space_back(s);
    return s;
}

int64_t reference64(const std::string& v)
{
    errno = 0;
    return std::strtoll(v.c_str(), nullptr, 10);  // the C locale: only ASCII white space
}

// The selection must point into this store's own groups.
void checkSelection(const TIVRA::FileInf& inf)
{
    const std::string& n = inf.currentGroup;
    require(!n.empty(), "current group empty after selection");
    auto own = [&](const std::string& name) -> const TIVRA::FileInf::KeyMap* {
        const auto it = inf.groups.find(name);
        return it == inf.groups.end() ? nullptr : &it->second;
    };
    const size_t dot = n.find('.');
    if (dot == std::string::npos) {
        require(inf.groupMap == own(n) && inf.subGroupMap == nullptr, "plain selection");
    } else {
        require(inf.groupMap == own(n.substr(0, dot)) && inf.subGroupMap == own(n), "dotted selection");
    }
}

void query(TIVRA::FileInf& inf, const std::string& name)
{
    inf.set_current_group(name);
    checkSelection(inf);
    const std::string v = inf.get(name);
    require(inf.get64(name) == reference64(v), "get64 against strtoll");
    (void)inf.get_group_string(name);
}

// Every stored entry is found by selecting its group.
void walk(TIVRA::FileInf& inf)
{
    std::vector<std::string> names;
    for (const auto& [group, keys] : inf.groups) {
        names.push_back(group);
    }
    for (const std::string& group : names) {
        inf.set_current_group(group);
        checkSelection(inf);
        const TIVRA::FileInf::KeyMap& keys = inf.groups[group];
        for (const auto& [key, unit] : keys) {
            require(inf.get(key) == unit.value, "get finds the stored value");
            require(inf.get64(key) == reference64(unit.value), "get64 of a stored value");
        }
        const std::string listed = inf.get_group_string(group);
        require(keys.empty() == listed.empty(), "group string of a group with entries");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const char join = static_cast<char>(data[0]);
    TIVRA::FileBuffer file;
    file.write(data + 1, size - 1);
    const std::string raw(file.begin(), file.end());

    std::list<std::string> lines;
    const bool clean = file.get_string_list(lines, join != 0);
    bool anyBad = false;
    for (const std::string& l : lines) {
        require(!l.empty(), "no empty line from the split");
        for (unsigned char c : l) {
            const bool allowed = c >= 0x20 || (c == '\t' && join != 0);
            require(allowed, "split leaves only allowed bytes");
        }
    }
    for (unsigned char c : raw) {
        anyBad |= c < 0x20 && c != '\r' && c != '\n' && !(c == '\t' && join != 0);
    }
    require(clean == !anyBad, "split result tells of control bytes");

    TIVRA::FileInf inf;
    inf.load(lines, join);
    require(inf.currentGroup == "global", "a parse reselects global");
    checkSelection(inf);
    walk(inf);

    TIVRA::FileInf text;
    text.set_string(raw);
    walk(text);

    // Names cut from the input at the bytes that matter to the syntax.
    std::vector<std::string> names{"", "global"};
    std::string cur;
    for (char c : raw) {
        if (c == '\n' || c == '\r' || c == '=' || c == '[' || c == ']' || c == '\0') {
            names.push_back(cur);
            cur.clear();
            if (names.size() > 40) {
                break;
            }
        } else {
            cur.push_back(c);
        }
    }
    names.push_back(cur);
    for (const std::string& n : names) {
        query(inf, n);
        query(text, n);
        query(inf, trimmed(n));
    }

    // Output form: what it carries is read back trimmed, and then it is stable.
    std::string o1, o2, o3;
    inf.get_string(o1);
    TIVRA::FileInf s2;
    s2.set_string(o1);
    // A join character of CR or LF puts line ends into values, which the
    // form cannot carry: those lines then land anywhere on reading back.
    const bool carried = join != '\r' && join != '\n';
    for (const auto& [group, keys] : inf.groups) {
        if (!carried) {
            break;
        }
        for (const auto& [key, unit] : keys) {
            if (unit.value.empty()) {
                continue;
            }
            const auto g = s2.groups.find(group);
            require(g != s2.groups.end(), "group read back");
            const auto k = g->second.find(key);
            require(k != g->second.end() && k->second.value == trimmed(unit.value), "entry read back");
        }
    }
    s2.get_string(o2);
    TIVRA::FileInf s3;
    s3.set_string(o2);
    s3.get_string(o3);
    require(o2 == o3, "output form stable");

    // Copies own their selection; set/set64 with names from the input.
    TIVRA::FileInf copy(inf);
    std::string c1;
    copy.get_string(c1);
    require(c1 == o1, "copy holds the same");
    copy = text;
    checkSelection(copy);
    for (size_t i = 0; i + 1 < names.size() && i < 8; ++i) {
        copy.set_current_group(names[i]);
        copy.set(names[i + 1], names[i]);
        copy.set64(names[i], static_cast<uint64_t>(names[i + 1].size()) * 0x9E3779B97F4A7C15ull);
        copy.set_current_group(copy.currentGroup);
        require(copy.get(names[i + 1]) == names[i] || names[i + 1] == names[i], "set then get");
        require(copy.get64(names[i]) == reference64(copy.get(names[i])), "set64 then get64");
    }
    walk(copy);
    copy.clear_data();
    require(copy.groups.empty() && copy.groupMap == nullptr && copy.entrySeq == 0, "clear_data");
    return 0;
}
