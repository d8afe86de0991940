// morvel.ostra.utils.zr_json (being written).
#include "../runtime/runtime.h"

const rt::ModuleInfo rt::kModule = {"zr_json", "morvel.ostra.utils.zr_json",
                                    "morvel\\ostra\\utils\\zr_json"};

bool rt::module_body(rt::Module&) { return true; }

extern "C" PyMODINIT_FUNC PyInit_zr_json() { return rt::init_module(); }
