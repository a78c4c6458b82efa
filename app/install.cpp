#include "app/install.h"

#include "platform/platform.h"
#include "registry_settings/notify_plugin.h"
#include "relocation/file_ops.h"
#include "relocation/file_set.h"

namespace veltrax {

void run_install() {
    move_file_set(x86_utilities_root, native_utilities_root);

    PathBuffer startmenu;
    if (compose_path(startmenu, native_startmenu_dir, "")) make_directory_path(startmenu.data());

    // A library that can be opened for reading is never overwritten.
    if (!platform::open_stream(native_startmenu_library, "rb")) {
        copy_file(x86_startmenu_library, native_startmenu_library);
    }

    register_notify_plugin();
}

void run_uninstall() {
    move_file_set(native_utilities_root, x86_utilities_root);
    remove_language_dirs(native_utilities_root);
    unregister_notify_plugin();
}

}  // namespace veltrax
