#include "dorvex/platform/Trash.h"

#include <gio/gio.h>

#include <memory>

namespace dorvex::Trash {

namespace {

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};

}  // namespace

void moveToTrash(const std::filesystem::path& path) {
    std::unique_ptr<GFile, ObjectUnref> file(g_file_new_for_path(path.c_str()));
    GError* rawError = nullptr;
    const bool trashed = g_file_trash(file.get(), nullptr, &rawError);
    std::unique_ptr<GError, ErrorFree> error(rawError);
    if (trashed) return;
    throw Error(error && error->message ? error->message : "cannot move " + path.string() + " to the trash");
}

}  // namespace dorvex::Trash
