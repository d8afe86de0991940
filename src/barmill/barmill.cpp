// morvel.ostra.mod.mod_quant_data.data_sources.barmill (being written).
#include "../runtime/runtime.h"

const rt::ModuleInfo rt::kModule = {"barmill", "morvel.ostra.mod.mod_quant_data.data_sources.barmill",
                                    "morvel\\ostra\\mod\\mod_quant_data\\data_sources\\barmill"};

bool rt::module_body(rt::Module&) { return true; }

extern "C" PyMODINIT_FUNC PyInit_barmill() { return rt::init_module(); }
