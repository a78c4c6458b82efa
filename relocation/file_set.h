// The utility's files that move between the two Utilities roots.
#pragma once

#include <array>
#include <cstddef>

namespace veltrax {

// Relative to a Utilities root, walked in this order.
inline constexpr std::array<const char*, 23> relocated_file_set = {
    "Corvint.exe",
    "Corvint.dll",
    "CS-CZ\\corvint.dll.mui",
    "DA-DK\\corvint.dll.mui",
    "DE-DE\\corvint.dll.mui",
    "EL-GR\\corvint.dll.mui",
    "EN-US\\corvint.dll.mui",
    "ES-ES\\corvint.dll.mui",
    "FI-FI\\corvint.dll.mui",
    "FR-FR\\corvint.dll.mui",
    "HU-HU\\corvint.dll.mui",
    "IT-IT\\corvint.dll.mui",
    "JA-JP\\corvint.dll.mui",
    "KO-KR\\corvint.dll.mui",
    "NB-NO\\corvint.dll.mui",
    "NL-NL\\corvint.dll.mui",
    "PL-PL\\corvint.dll.mui",
    "PT-PT\\corvint.dll.mui",
    "RU-RU\\corvint.dll.mui",
    "SK-SK\\corvint.dll.mui",
    "SV-SE\\corvint.dll.mui",
    "TR-TR\\corvint.dll.mui",
    "ZH-CN\\corvint.dll.mui",
};

// An entry is a language resource when it contains this text (case-sensitive).
inline constexpr const char* language_marker = "corvint.dll.mui";

// Moves every entry from under source_root to under destination_root, creating
// each destination folder first; an entry whose source is missing or whose
// destination already exists stays where it is. Roots have no trailing separator.
void move_file_set(const char* source_root, const char* destination_root);

// Removes the language folders under root that are empty; never the root itself.
void remove_language_dirs(const char* root);

}  // namespace veltrax
