// A reference model of what each option does to a machine, written from the
// tool's documented behaviour (not from its code), and a snapshot of a real
// machine to compare it with.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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

// Seeds the utility in the x86 folder, and an x86 library of `library_size`
// patterned bytes (several 51,200-byte copy blocks, for the sizes used).
inline void seed_x86_utility(const Machine& m, std::size_t library_size) {
    for (const std::string& file : utility_files()) m.write(x86_utilities + "\\" + file, "x86 " + file);
    std::string library(library_size, '\0');
    for (std::size_t i = 0; i < library.size(); ++i) library[i] = static_cast<char>(i * 7 + i / 251);
    m.write(x86_library, library);
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

// One observable effect of an option on a machine. An option is its steps in
// their documented order; a run cut short has done some first steps of it.
using Step = std::function<void(Snapshot&)>;

namespace detail {

inline Step make_dir(const std::string& dir) {
    return [dir](Snapshot& s) { s.dirs.insert(dir); };
}

// For each file in turn: its folders, outermost first, then the move.
inline void move_set(std::vector<Step>& steps, const std::string& from_root, const std::string& to_root,
                     const std::string& to_top) {
    for (const std::string& file : utility_files()) {
        steps.push_back(make_dir(to_top));
        steps.push_back(make_dir(to_root));
        const std::size_t slash = file.find('\\');
        if (slash != std::string::npos) steps.push_back(make_dir(to_root + "\\" + file.substr(0, slash)));
        steps.push_back([source = from_root + "\\" + file, destination = to_root + "\\" + file](Snapshot& s) {
            const auto found = s.files.find(source);
            if (found == s.files.end() || s.files.count(destination)) return;
            s.files[destination] = found->second;
            s.files.erase(found);
        });
    }
}

inline bool has_anything_below(const Snapshot& s, const std::string& dir) {
    const std::string prefix = dir + "\\";
    auto starts = [&](const std::string& path) { return path.compare(0, prefix.size(), prefix) == 0; };
    return std::any_of(s.files.begin(), s.files.end(), [&](const auto& f) { return starts(f.first); }) ||
           std::any_of(s.dirs.begin(), s.dirs.end(), starts);
}

// "Application" (its name in any case) as the tool reads it: absent or over 512 bytes means no reading.
inline std::optional<std::string> application_text(const Snapshot& s) {
    for (const auto& [name, value] : s.slot) {
        if (lower(name) != "application" || value.data.size() > 512) continue;
        return std::string(value.data.c_str());  // up to the first NUL
    }
    return std::nullopt;
}

// The slot's values in the order they are written: "Application" last.
inline void write_slot(std::vector<Step>& steps, bool on) {
    const std::vector<std::pair<std::string, std::string>> values = {
        {"ItemName", "@C:\\Program Files\\VELTRAX\\Utilities\\Corvint.dll,-201"},
        {"IconID", "@C:\\Program Files\\VELTRAX\\Utilities\\Corvint.exe,-10003"},
        {"Parameters", "/t:Boot"},
        {"Application", utility_exe}};
    for (const auto& [name, text] : values) {
        steps.push_back([name = name, data = sz_bytes(on ? text : "")](Snapshot& s) {
            // An existing value keeps the case of its name.
            std::string stored = name;
            for (const auto& [existing, value] : s.slot) {
                if (lower(existing) == lower(name)) stored = existing;
            }
            s.slot[stored] = RegValue{2, data};
        });
    }
}

}  // namespace detail

// The steps `option` takes on a machine that starts as `start`, in order.
inline std::vector<Step> steps(const Snapshot& start, const std::string& option) {
    std::vector<Step> steps;
    if (option == "-i") {
        detail::move_set(steps, x86_utilities, native_utilities, native_dir);
        steps.push_back(detail::make_dir(native_dir));
        steps.push_back(detail::make_dir(native_dir + "\\Startmenu"));
        steps.push_back([](Snapshot& s) {
            if (!s.files.count(native_library) && s.files.count(x86_library)) s.files[native_library] = s.files[x86_library];
        });
        steps.push_back([](Snapshot& s) { s.notify_subkeys.insert(lower(plugin_name)); });
        steps.push_back([](Snapshot& s) { s.dll_name = RegValue{1, sz_bytes(dll_path)}; });
    } else if (option == "-u") {
        detail::move_set(steps, native_utilities, x86_utilities, x86_dir);
        for (const std::string& language : languages) {
            steps.push_back([dir = native_utilities + "\\" + language](Snapshot& s) {
                if (s.dirs.count(dir) && !detail::has_anything_below(s, dir)) s.dirs.erase(dir);
            });
        }
        steps.push_back([](Snapshot& s) {
            s.notify_subkeys.erase(lower(plugin_name));
            s.dll_name.reset();
        });
    } else if (option == "-panelOn" || option == "-panelOff") {
        const bool on = option == "-panelOn";
        steps.push_back([](Snapshot& s) { s.slot_exists = true; });
        const auto text = detail::application_text(start);
        if (text && *text == (on ? "" : utility_exe)) detail::write_slot(steps, on);
    }
    return steps;
}

// The state the tool should leave after running `option` on `s`.
inline Snapshot apply(Snapshot s, const std::string& option) {
    for (const Step& step : steps(s, option)) step(s);
    return s;
}

// The states a run of `option` passes through: the start, then one after each step.
inline std::vector<Snapshot> passes_through(const Snapshot& start, const std::string& option) {
    std::vector<Snapshot> states = {start};
    for (const Step& step : steps(start, option)) {
        states.push_back(states.back());
        step(states.back());
    }
    return states;
}

// Every file's bytes, as a multiset.
inline std::multiset<std::string> contents(const Snapshot& s) {
    std::multiset<std::string> all;
    for (const auto& [path, bytes] : s.files) all.insert(bytes);
    return all;
}

// True for the temporary a cut-short library copy leaves: "...\Orbandisplex.dll.<digits>.tmp".
inline bool is_temporary(const std::string& path) {
    const std::string stem = "\\Orbandisplex.dll.";
    const std::size_t at = path.rfind(stem);
    if (at == std::string::npos || path.size() < 4 || path.compare(path.size() - 4, 4, ".tmp") != 0) return false;
    const std::string digits = path.substr(at + stem.size(), path.size() - 4 - at - stem.size());
    return !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
}

// The snapshot without such temporaries; `count`, when given, is how many there were.
inline Snapshot without_temporaries(Snapshot s, std::size_t* count = nullptr) {
    std::size_t found = 0;
    for (auto it = s.files.begin(); it != s.files.end();) {
        const bool temporary = is_temporary(it->first);
        found += temporary;
        it = temporary ? s.files.erase(it) : std::next(it);
    }
    if (count != nullptr) *count = found;
    return s;
}

// No file of the starting machine may go missing or change, and only one new
// file may appear: a copy of the x86 start-menu library.
inline ::testing::AssertionResult nothing_lost(const Snapshot& start, const Snapshot& now) {
    std::multiset<std::string> remaining = contents(now);
    for (const std::string& bytes : contents(start)) {
        auto it = remaining.find(bytes);
        if (it == remaining.end()) return ::testing::AssertionFailure() << "a file's bytes are gone";
        remaining.erase(it);
    }
    const auto x86 = start.files.find(x86_library);
    if (remaining.empty()) return ::testing::AssertionSuccess();
    if (remaining.size() == 1 && x86 != start.files.end() && *remaining.begin() == x86->second) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << remaining.size() << " new or duplicated files";
}

}  // namespace veltrax::testing::model
