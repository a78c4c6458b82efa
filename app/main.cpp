// veltrax-place: finishes, undoes and adjusts the placement of the VELTRAX
// hardware-settings utility. Silent by design; the exit code says only
// whether the option was recognised.
#include "app/commands.h"

int main(int argc, char** argv) { return veltrax::dispatch(argc, argv); }
