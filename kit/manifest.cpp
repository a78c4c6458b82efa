// The kit's manifest, built into the runner: the SHA-256 of every program it
// runs and every package it hands to msiexec, and the kit's name. The build
// leaves it empty; make-kit.sh writes it into the runner of each kit it
// assembles (after the programs are signed, before the runner is), so that
// nothing in the kit's folder decides what runs. It lives in a file of its
// own so that the compiler never sees its bytes where they are read.
#include "kit/kit.h"

namespace kit {

// The marker line, then "about TEXT" and "SHA256 NAME" lines, NUL-padded.
extern const char manifest[manifest_size];
const char manifest[manifest_size] = "VELTRAX-KIT-MANIFEST-1\n";

}  // namespace kit
