#include "ocx/idl_printer.h"

#include <cstdio>

#include "control/automation.h"

namespace varnel::ocx {

namespace {

using namespace automation;

std::string Hex(std::uint32_t v, int digits = 8) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, static_cast<unsigned>(v));
    return buf;
}

// A C string literal; the table's texts are plain printable ASCII, quotes and backslashes escaped.
std::string Quoted(const char* text) {
    std::string out = "\"";
    for (const char* p = text; *p; ++p) {
        if (*p == '"' || *p == '\\') out += '\\';
        out += *p;
    }
    return out + "\"";
}

std::string Uuid(const TypeInfo& t) {
    return "uuid(" + ToString(*t.guid) + ")";
}

// "[a, b, c]" over one line, or one attribute per line when indented.
std::string Attributes(const std::vector<std::string>& attrs, const std::string& indent) {
    std::string out = indent + "[\n";
    for (std::size_t i = 0; i < attrs.size(); ++i)
        out += indent + "    " + attrs[i] + (i + 1 < attrs.size() ? ",\n" : "\n");
    return out + indent + "]\n";
}

std::vector<std::string> InterfaceAttributes(const TypeInfo& t) {
    std::vector<std::string> a{Uuid(t)};
    if (t.flags & typeflag::kHidden) a.push_back("hidden");
    if (t.kind == TypeKind::DualInterface) a.push_back("dual");
    if (t.flags & typeflag::kNonExtensible) a.push_back("nonextensible");
    if (t.flags & typeflag::kOleAutomation) a.push_back("oleautomation");
    return a;
}

std::string MemberLine(const Member& m) {
    std::vector<std::string> attrs{"id(" + Hex(static_cast<std::uint32_t>(m.dispId)) + ")"};
    if (m.kind == MemberKind::PropertyGet) attrs.push_back("propget");
    if (m.kind == MemberKind::PropertyPut) attrs.push_back("propput");
    if (m.helpString) attrs.push_back("helpstring(" + Quoted(m.helpString) + ")");
    if (m.flags & funcflag::kNonBrowsable) attrs.push_back("nonbrowsable");
    std::string line = "        [";
    for (std::size_t i = 0; i < attrs.size(); ++i)
        line += (i ? ", " : "") + attrs[i];
    line += "]\n        HRESULT " + std::string(m.name) + "(";
    std::vector<std::string> params;
    if (m.param) {
        params.push_back(std::string(m.param->byRef ? "[in, out] " : "[in] ") +
                         IdlName(m.param->type) + (m.param->byRef ? "* " : " ") + m.param->name);
    }
    if (m.result != AutoType::Void)
        params.push_back(std::string("[out, retval] ") + IdlName(m.result) + "* result");
    for (std::size_t i = 0; i < params.size(); ++i)
        line += (i ? ", " : "") + params[i];
    return line + ");\n";
}

std::string Interface(const TypeInfo& t) {
    std::string out = Attributes(InterfaceAttributes(t), "    ");
    out += "    interface " + std::string(t.name) + " : IDispatch\n    {\n";
    if (std::string_view(t.name) == "_Varnel") {
        for (const Member& m : kMembers)
            out += MemberLine(m);
    }
    return out + "    };\n";
}

std::string DispInterface(const TypeInfo& t) {
    std::string out = Attributes(InterfaceAttributes(t), "    ");
    out += "    dispinterface " + std::string(t.name) + "\n    {\n";
    out += "    properties:\n    methods:\n";
    for (const EventInfo& e : kEvents)
        out += "        [id(" + Hex(static_cast<std::uint32_t>(e.dispId)) + ")]\n        void " +
               e.name + "();\n";
    return out + "    };\n";
}

std::string CoClass(const TypeInfo& t) {
    std::vector<std::string> attrs{Uuid(t)};
    if (t.flags & typeflag::kControl) attrs.push_back("control");
    std::string out = Attributes(attrs, "    ");
    out += "    coclass " + std::string(t.name) + "\n    {\n";
    out += "        [default] interface " + std::string(t.defaultInterface) + ";\n";
    if (t.defaultSource)
        out += "        [default, source] dispinterface " + std::string(t.defaultSource) + ";\n";
    return out + "    };\n";
}

std::string Enum(const TypeInfo& t) {
    std::string out = "    typedef enum\n    {\n";
    std::vector<const EnumMember*> members;
    for (const EnumMember& m : kEnumMembers) {
        if (std::string_view(m.enumName) == t.name) members.push_back(&m);
    }
    for (std::size_t i = 0; i < members.size(); ++i) {
        out += "        [helpstring(" + Quoted(members[i]->helpString) + ")] " + members[i]->name +
               " = " + std::to_string(members[i]->value) + (i + 1 < members.size() ? ",\n" : "\n");
    }
    return out + "    } " + t.name + ";\n";
}

}  // namespace

std::string PrintIdl() {
    std::string out =
        "// Varnel.idl: the type library of Varnel.ocx.\n"
        "//\n"
        "// Printed from control/automation.cpp by varnel_idl; the build checks that the two\n"
        "// agree, so edit the table, not this file. The types appear in the order of the\n"
        "// library that Varnel.ocx embeds (the same tool writes it from the table); a compiler\n"
        "// that wants an enum declared before its use needs the two typedefs moved above\n"
        "// _Varnel, which also moves them in the library it builds.\n\n";
    std::vector<std::string> lib{"uuid(" + ToString(kLibrary.guid) + ")",
                                 "version(" + std::to_string(kLibrary.majorVersion) + "." +
                                     std::to_string(kLibrary.minorVersion) + ")",
                                 "lcid(" + Hex(kLibrary.lcid, 4) + ")",
                                 "helpstring(" + Quoted(kLibrary.description) + ")"};
    if (kLibrary.controlLibrary) lib.push_back("control");
    out += Attributes(lib, "");
    out += "library " + std::string(kLibrary.name) + "\n{\n";
    out += "    importlib(" + Quoted(kLibrary.importedLibrary) + ");\n\n";
    // Forward declarations let a class name an interface declared after it.
    for (const TypeInfo& t : kTypes) {
        if (t.kind == TypeKind::DualInterface)
            out += "    interface " + std::string(t.name) + ";\n";
        if (t.kind == TypeKind::DispInterface)
            out += "    dispinterface " + std::string(t.name) + ";\n";
    }
    for (const TypeInfo& t : kTypes) {
        out += "\n";
        switch (t.kind) {
            case TypeKind::DualInterface:
                out += Interface(t);
                break;
            case TypeKind::DispInterface:
                out += DispInterface(t);
                break;
            case TypeKind::CoClass:
                out += CoClass(t);
                break;
            case TypeKind::Enum:
                out += Enum(t);
                break;
        }
    }
    return out + "};\n";
}

std::string PrintVersionResource() {
    const VersionInfo& v = kVersion;
    const std::string numbers = std::to_string(v.major) + "," + std::to_string(v.minor) + "," +
                                std::to_string(v.build) + "," + std::to_string(v.revision);
    std::string out =
        "// The version resource of Varnel.ocx, printed from control/automation.cpp.\n"
        "1 VERSIONINFO\n"
        "FILEVERSION " +
        numbers +
        "\n"
        "PRODUCTVERSION " +
        numbers +
        "\n"
        "FILEFLAGSMASK 0x3F\n"
        "FILEFLAGS 0x0\n"
        "FILEOS 0x4\n"    // VOS__WINDOWS32
        "FILETYPE 0x2\n"  // VFT_DLL
        "FILESUBTYPE 0x0\n"
        "BEGIN\n"
        "    BLOCK \"StringFileInfo\"\n"
        "    BEGIN\n"
        "        BLOCK \"040904B0\"\n"
        "        BEGIN\n";
    auto value = [&](const char* key, const char* text) {
        out += "            VALUE \"" + std::string(key) + "\", " + Quoted(text) + "\n";
    };
    value("CompanyName", v.companyName);
    value("FileDescription", v.fileDescription);
    value("FileVersion", v.fileVersionText);
    value("InternalName", v.internalName);
    value("LegalCopyright", v.legalCopyright);
    value("OriginalFilename", v.originalFilename);
    value("ProductName", v.productName);
    value("ProductVersion", v.productVersionText);
    value("Comments", v.comments);
    if (v.selfRegister) value("OLESelfRegister", "");
    out +=
        "        END\n"
        "    END\n"
        "    BLOCK \"VarFileInfo\"\n"
        "    BEGIN\n"
        "        VALUE \"Translation\", 0x409, 1200\n"
        "    END\n"
        "END\n";
    return out;
}

}  // namespace varnel::ocx
