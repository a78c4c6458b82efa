// The kit's manifest, built into the runner: the build leaves it empty, and
// embed-manifest.py writes it into the runner of each kit (after the
// programs are signed, before the runner is). A file of its own, so that the
// compiler never sees its bytes where they are read.
#include "kit/kit.h"

namespace kit {

// The marker line, then "about TEXT" and "SHA256 NAME" lines, NUL-padded.
extern const char manifest[manifest_size];
const char manifest[manifest_size] = "VELTRAX-KIT-MANIFEST-1\n";

}  // namespace kit
