// Private to lp_mail's sources: ownership of GLib and GMime objects, and the
// one-time initialisation of GMime. Included by .cpp files only.
#pragma once

#include <gmime/gmime.h>

#include <memory>

namespace localplatform::mailsupport {

struct GObjectUnref {
    void operator()(void* p) const {
        if (p != nullptr) g_object_unref(p);
    }
};
struct GFree {
    void operator()(void* p) const { g_free(p); }
};
// Owns one reference of a GObject (or, with GFree, a g_malloc'd block).
template <class T, class Deleter = GObjectUnref>
using GPtr = std::unique_ptr<T, Deleter>;

// Initialises GMime once for the process; safe from any thread.
void EnsureGMime();

}  // namespace localplatform::mailsupport
