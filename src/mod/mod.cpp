// morvel.ostra.mod.mod_optimizer2.mod (being written).
#include "../runtime/runtime.h"

const rt::ModuleInfo rt::kModule = {"mod", "morvel.ostra.mod.mod_optimizer2.mod",
                                    "morvel\\ostra\\mod\\mod_optimizer2\\mod"};

bool rt::module_body(rt::Module&) { return true; }

extern "C" PyMODINIT_FUNC PyInit_mod() { return rt::init_module(); }
