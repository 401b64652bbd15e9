// Private to the directory: the one place that prepares Samba's ldb library
// before its first ldb_init.
#pragma once

namespace localplatform::directory {

// Call before every ldb_init. Under AddressSanitizer, ldb must load its
// modules without RTLD_DEEPBIND (which the sanitizer runtime cannot serve);
// ldb reads LDB_MODULES_DISABLE_DEEPBIND for that. Other builds keep ldb's
// default. Safe to call from several threads.
void PrepareLdbLibrary();

}  // namespace localplatform::directory
