// varnel_idl: prints ocx/Varnel.idl from the automation table.
//
//   varnel_idl                 print it
//   varnel_idl --check FILE    exit 1 when FILE differs from it
//   varnel_idl --write FILE    write it to FILE
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "ocx/idl_printer.h"

int main(int argc, char** argv) {
    const std::string idl = varnel::ocx::PrintIdl();
    if (argc == 1) {
        std::fputs(idl.c_str(), stdout);
        return 0;
    }
    if (argc == 3 && !std::strcmp(argv[1], "--check")) {
        std::ifstream in(argv[2], std::ios::binary);
        const std::string file((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        if (file == idl) return 0;
        std::fprintf(stderr,
                     "%s is not the type library of control/automation.cpp; "
                     "regenerate it with varnel_idl --write %s\n",
                     argv[2], argv[2]);
        return 1;
    }
    if (argc == 3 && !std::strcmp(argv[1], "--write")) {
        std::ofstream out(argv[2], std::ios::binary);
        out << idl;
        return out.flush() ? 0 : 1;
    }
    std::fprintf(stderr, "usage: varnel_idl [--check FILE | --write FILE]\n");
    return 2;
}
