// Method definitions kept for the life of the process.
#include "module/registry.h"

#include <deque>

namespace csdk {

PyMethodDef *method_def(const char *name, FastFunction impl, const Signature &sig, const char *doc,
                        const char *self_name) {
    // Never released: the interpreter keeps pointers to both for as long as the functions live.
    static auto *docs = new std::deque<std::string>();
    static auto *defs = new std::deque<PyMethodDef>();
    std::string &text = docs->emplace_back(sig.text_signature(name, self_name));
    if (doc != nullptr) text += doc;
    return &defs->emplace_back(
        PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(impl)),
                    METH_FASTCALL | METH_KEYWORDS, text.c_str()});
}

}  // namespace csdk
