// Settings store: named groups of key=value text entries, filled by parsing a
// settings file, lines or a text, and queried by key within the selected
// group. Plain data for one thread: no lock, no thread, no logging.
//
// File form: "[group]" headers, "key = value" entries, comment lines that
// start with ';', '#' or "//", and (with a join character) continuation
// lines that extend the entry before them. Names and values are bytes,
// compared bytewise and case-sensitively; only the blank is trimmed.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>

namespace TIVRA {

class FileInf {
public:
    struct Unit {
        std::string value;
        int32_t seq = 0;  // parse order; 0 for entries made by set/set64
    };
    using KeyMap = std::map<std::string, Unit>;
    using GroupMap = std::map<std::string, KeyMap>;

    // Callers may walk `groups` read-only (ascending bytewise name order);
    // change the store only through the operations below.
    GroupMap groups;
    std::string currentGroup;
    // Non-owning, into `groups` (map nodes do not move); recomputed by
    // set_current_group, every parse, copy and assignment, not by set/set64.
    KeyMap* groupMap = nullptr;
    KeyMap* subGroupMap = nullptr;
    int32_t entrySeq = 0;
    std::string loadedPath;

    // Always empty; the shape of one group.
    static KeyMap dummy;

    FileInf();
    explicit FileInf(const std::string& name);
    FileInf(const FileInf& other);
    FileInf& operator=(const FileInf& other);
    ~FileInf();

    void copy(const FileInf& other);
    void copy_data(const FileInf& other);
    void clear_data();

    // Reads the whole file; false (store untouched) when it cannot be read or
    // holds a control byte (TAB included when `join` is 0).
    bool load(const std::string& path, char join);
    void load(const std::list<std::string>& lines, char join);
    // Cuts the text at CR and LF and parses it with join character 0;
    // nothing is rejected.
    void set_string(const std::string& text);

    // Selects `name` ("global" when empty); a dotted name 'a.b' reads group
    // 'a.b' when it exists, else group 'a'.
    void set_current_group(const std::string& name);

    std::string get(const std::string& key) const;
    // Signed decimal prefix of the value, saturated; 0 without digits.
    int64_t get64(const std::string& key) const;
    void set(const std::string& key, const std::string& value);
    void set64(const std::string& key, uint64_t number);

    // key=value per entry in key order, LF between entries.
    std::string get_group_string(const std::string& name) const;
    // The whole store in file form (CR LF line ends).
    void get_string(std::string& out) const;
    bool save(const std::string& path) const;

    static void delete_space_front(std::string& text);
    static void delete_space_back(std::string& text);
};

}  // namespace TIVRA
