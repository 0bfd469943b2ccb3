// type_info's destructor, which MSVC keeps out of line in its static runtime;
// defining it here also gives the module type_info's virtual table, which
// every RTTI descriptor points to. The names type_info::name() builds are
// cached per module and given back when the module goes.
#include <typeinfo>

extern "C" _VCRTIMP void __cdecl __std_type_info_destroy_list(__type_info_node* _RootNode);

struct alignas(16) __type_info_node {
    void* _Header[2];  // an SLIST_HEADER, owned by vcruntime140.dll
};
extern "C" __type_info_node __type_info_root_node{};

// A destructor with a body stores the virtual table pointer, so the compiler
// emits the table here, where every module finds it.
type_info::~type_info() noexcept {
    static_cast<void>(this);
}

namespace {
struct TypeNameCache {
    ~TypeNameCache() { __std_type_info_destroy_list(&__type_info_root_node); }
} typeNameCache;
}  // namespace
