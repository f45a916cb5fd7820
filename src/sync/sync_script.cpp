#include "sync/sync_script.h"

namespace kro::sync {

int SyncScript::open(const std::string& path) { return file_.open(path, false); }

void SyncScript::append(std::string_view text) {
    file_.buffer().append(text);
    if (file_.is_open()) file_.flush_if_full();
}

void SyncScript::flush() {
    if (file_.is_open()) file_.flush();
}

int SyncScript::finish(bool complete) {
    if (!file_.is_open()) return 1;
    if (complete && file_.commit()) return 1;
    file_.flush();
    if (file_.failed())
        file_.discard();
    else
        file_.close_incomplete(".incomplete");
    return 0;
}

}  // namespace kro::sync
