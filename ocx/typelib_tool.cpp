// varnel_typelib: writes the files of Varnel.ocx that come from the automation table, at build
// time: the type library (resource TYPELIB 1) and the version resource.
//
//   varnel_typelib --tlb FILE --syskind win32|win64 --rc FILE
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "ocx/idl_printer.h"
#include "ocx/text.h"
#include "ocx/typelib_writer.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: varnel_typelib --tlb FILE --syskind win32|win64 --rc FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string tlb, rc, syskind;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--tlb")) {
            tlb = argv[i + 1];
        } else if (!std::strcmp(argv[i], "--rc")) {
            rc = argv[i + 1];
        } else if (!std::strcmp(argv[i], "--syskind")) {
            syskind = argv[i + 1];
        } else {
            return Usage();
        }
    }
    if (argc % 2 == 0 || tlb.empty() || rc.empty() || (syskind != "win32" && syskind != "win64"))
        return Usage();

    std::string error;
    if (!varnel::ocx::WriteTypeLibrary(varnel::ocx::WideOfAnsi(tlb),
                                       syskind == "win32" ? SYS_WIN32 : SYS_WIN64, error)) {
        std::fprintf(stderr, "varnel_typelib: %s: %s\n", tlb.c_str(), error.c_str());
        return 1;
    }
    std::ofstream out(rc, std::ios::binary);
    out << varnel::ocx::PrintVersionResource();
    if (!out.flush()) {
        std::fprintf(stderr, "varnel_typelib: cannot write %s\n", rc.c_str());
        return 1;
    }
    return 0;
}
