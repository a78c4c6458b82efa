// A reference model of what each option does to a machine, written from the
// tool's documented behaviour (not from its code), and a snapshot of a real
// machine to compare it with.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/machine.h"

namespace veltrax::testing::model {

inline const std::string native_dir = "C:\\Program Files\\VELTRAX";
inline const std::string x86_dir = "C:\\Program Files (x86)\\VELTRAX";
inline const std::string native_utilities = native_dir + "\\Utilities";
inline const std::string x86_utilities = x86_dir + "\\Utilities";
inline const std::string native_library = native_dir + "\\Startmenu\\Orbandisplex.dll";
inline const std::string x86_library = x86_dir + "\\Startmenu\\Orbandisplex.dll";
inline const std::string notify_key = "SOFTWARE\\Veltrax\\Glimmertab\\Notify";
inline const std::string plugin_name = "{7C3A91E4-2B58-4f1d-A6C0-93E5D17B2F08}";
inline const std::string plugin_key = notify_key + "\\" + plugin_name;
inline const std::string dll_path = "C:\\Program Files\\VELTRAX\\Utilities\\Wendrix.dll";
inline const std::string slot_key =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Applets\\SysTray\\BattMeter\\ContextMenu\\3";
inline const std::string utility_exe = native_utilities + "\\Corvint.exe";

inline const std::vector<std::string> languages = {"CS-CZ", "DA-DK", "DE-DE", "EL-GR", "EN-US", "ES-ES", "FI-FI",
                                                   "FR-FR", "HU-HU", "IT-IT", "JA-JP", "KO-KR", "NB-NO", "NL-NL",
                                                   "PL-PL", "PT-PT", "RU-RU", "SK-SK", "SV-SE", "TR-TR", "ZH-CN"};

inline std::vector<std::string> utility_files() {
    std::vector<std::string> files = {"Corvint.exe", "Corvint.dll"};
    for (const std::string& language : languages) files.push_back(language + "\\corvint.dll.mui");
    return files;
}

inline std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

inline std::string sz_bytes(const std::string& text) { return text + std::string(1, '\0'); }

struct Snapshot {
    std::map<std::string, std::string> files;  // full path -> bytes, below both VELTRAX folders
    std::set<std::string> dirs;                // the VELTRAX folders and every folder below them
    std::set<std::string> notify_subkeys;      // lower case
    std::optional<RegValue> dll_name;
    bool slot_exists = false;
    std::map<std::string, RegValue> slot;      // value name -> value

    bool operator==(const Snapshot&) const = default;
};

inline Snapshot take(const Machine& m) {
    Snapshot s;
    for (const std::string& top : {native_dir, x86_dir}) {
        if (!m.is_dir(top)) continue;
        s.dirs.insert(top);
        for (const std::string& file : m.files_below(top)) s.files[top + "\\" + file] = *m.read(top + "\\" + file);
        for (const std::string& dir : m.dirs_below(top)) s.dirs.insert(top + "\\" + dir);
    }
    for (const std::string& name : m.reg_subkeys(notify_key)) s.notify_subkeys.insert(lower(name));
    s.dll_name = m.reg_get(plugin_key, "DllName");
    s.slot_exists = m.reg_key_exists(slot_key);
    for (const std::string& name : m.reg_value_names(slot_key)) s.slot[name] = *m.reg_get(slot_key, name);
    return s;
}

inline std::string describe(const Snapshot& s) {
    std::ostringstream out;
    for (const auto& [path, bytes] : s.files) out << "  file " << path << " (" << bytes.size() << " bytes)\n";
    for (const std::string& dir : s.dirs) out << "  dir  " << dir << "\n";
    for (const std::string& key : s.notify_subkeys) out << "  notify\\" << key << "\n";
    if (s.dll_name) out << "  DllName type " << s.dll_name->type << " " << s.dll_name->data.size() << " bytes\n";
    out << "  slot " << (s.slot_exists ? "exists" : "absent") << "\n";
    for (const auto& [name, value] : s.slot) {
        out << "  slot " << name << " type " << value.type << " " << value.data.size() << " bytes\n";
    }
    return out.str();
}

// What differs between two snapshots, for failure messages.
inline std::string diff(const Snapshot& want, const Snapshot& got) {
    std::ostringstream out;
    for (const auto& [path, bytes] : want.files) {
        auto it = got.files.find(path);
        if (it == got.files.end()) out << "  missing file " << path << "\n";
        else if (it->second != bytes) out << "  different bytes in " << path << "\n";
    }
    for (const auto& [path, bytes] : got.files) {
        if (!want.files.count(path)) out << "  unexpected file " << path << "\n";
    }
    for (const std::string& dir : want.dirs) if (!got.dirs.count(dir)) out << "  missing dir " << dir << "\n";
    for (const std::string& dir : got.dirs) if (!want.dirs.count(dir)) out << "  unexpected dir " << dir << "\n";
    if (want.notify_subkeys != got.notify_subkeys) out << "  notify sub-keys differ\n";
    if (want.dll_name != got.dll_name) out << "  DllName differs\n";
    if (want.slot_exists != got.slot_exists || want.slot != got.slot) out << "  slot differs\n";
    return out.str();
}

namespace detail {

inline void move_set(Snapshot& s, const std::string& from_root, const std::string& to_root, const std::string& to_top) {
    s.dirs.insert(to_top);
    s.dirs.insert(to_root);
    for (const std::string& language : languages) s.dirs.insert(to_root + "\\" + language);
    for (const std::string& file : utility_files()) {
        const auto source = s.files.find(from_root + "\\" + file);
        const std::string destination = to_root + "\\" + file;
        if (source == s.files.end() || s.files.count(destination)) continue;
        s.files[destination] = source->second;
        s.files.erase(source);
    }
}

inline bool has_anything_below(const Snapshot& s, const std::string& dir) {
    const std::string prefix = dir + "\\";
    auto starts = [&](const std::string& path) { return path.compare(0, prefix.size(), prefix) == 0; };
    return std::any_of(s.files.begin(), s.files.end(), [&](const auto& f) { return starts(f.first); }) ||
           std::any_of(s.dirs.begin(), s.dirs.end(), starts);
}

// "Application" as the tool reads it: absent or over 512 bytes means no reading.
inline std::optional<std::string> application_text(const Snapshot& s) {
    auto it = s.slot.find("Application");
    if (it == s.slot.end() || it->second.data.size() > 512) return std::nullopt;
    return std::string(it->second.data.c_str());  // up to the first NUL
}

inline void write_slot(Snapshot& s, bool on) {
    const std::vector<std::pair<std::string, std::string>> values = {
        {"Application", utility_exe},
        {"ItemName", "@C:\\Program Files\\VELTRAX\\Utilities\\Corvint.dll,-201"},
        {"IconID", "@C:\\Program Files\\VELTRAX\\Utilities\\Corvint.exe,-10003"},
        {"Parameters", "/t:Boot"}};
    for (const auto& [name, text] : values) {
        // An existing value keeps the case of its name.
        std::string stored = name;
        for (const auto& [existing, value] : s.slot) {
            if (lower(existing) == lower(name)) stored = existing;
        }
        s.slot[stored] = RegValue{2, sz_bytes(on ? text : "")};
    }
}

}  // namespace detail

// The state the tool should leave after running `option` on `s`.
inline Snapshot apply(Snapshot s, const std::string& option) {
    if (option == "-i") {
        detail::move_set(s, x86_utilities, native_utilities, native_dir);
        s.dirs.insert(native_dir + "\\Startmenu");
        if (!s.files.count(native_library) && s.files.count(x86_library)) s.files[native_library] = s.files[x86_library];
        s.notify_subkeys.insert(lower(plugin_name));
        s.dll_name = RegValue{1, sz_bytes(dll_path)};
    } else if (option == "-u") {
        detail::move_set(s, native_utilities, x86_utilities, x86_dir);
        for (const std::string& language : languages) {
            const std::string dir = native_utilities + "\\" + language;
            if (s.dirs.count(dir) && !detail::has_anything_below(s, dir)) s.dirs.erase(dir);
        }
        s.notify_subkeys.erase(lower(plugin_name));
        s.dll_name.reset();
    } else if (option == "-panelOn" || option == "-panelOff") {
        const bool on = option == "-panelOn";
        s.slot_exists = true;
        const auto text = detail::application_text(s);
        if (text && *text == (on ? "" : utility_exe)) detail::write_slot(s, on);
    }
    return s;
}

// Every file's bytes, as a multiset.
inline std::multiset<std::string> contents(const Snapshot& s) {
    std::multiset<std::string> all;
    for (const auto& [path, bytes] : s.files) all.insert(bytes);
    return all;
}

}  // namespace veltrax::testing::model
