// tarnkv._native.ObjectView: exports one object's bytes, straight from the mapping, through
// the buffer protocol; readers hand out memoryviews of it. It holds a pin of its reader (see
// reader_object.hpp), so the mapping stays until the view is released, even if the reader is
// closed meanwhile: a live view never points at unmapped memory.
#include "binding/native/native.hpp"
#include "binding/native/reader_object.hpp"
#include "binding/once.hpp"

namespace tarnkv::native {

namespace {

struct ViewObject {
    PyObject_HEAD
    PyObject* reader;  // strong; pinned
    const char* data;
    Py_ssize_t size;
};

ViewObject* as_view(PyObject* o) noexcept { return reinterpret_cast<ViewObject*>(o); }

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    ViewObject* v = as_view(self);
    // Read-only: a request for a writable buffer fails with BufferError.
    return PyBuffer_FillInfo(view, self, const_cast<char*>(v->data), v->size, 1, flags);
}

// The memoryviews of an exporter show it to the collector, and through it the reader: a view
// kept by the reader's codec is then a cycle like any other. No clear: the reader's clear
// breaks every such cycle, and the pin must stay with the exporter as long as a view can read.
int view_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_view(self)->reader);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

void view_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    ViewObject* v = as_view(self);
    if (v->reader) {
        as_reader(v->reader)->unpin();
        Py_CLEAR(v->reader);
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("The bytes of one stored object, exported without a copy.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(view_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(view_traverse)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {0, nullptr},
};

PyType_Spec spec = {
    "tarnkv._native.ObjectView", static_cast<int>(sizeof(ViewObject)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC, slots,
};

py::OnceObject type_object;

}  // namespace

PyTypeObject* view_type() {
    return reinterpret_cast<PyTypeObject*>(type_object.get([] { return PyType_FromSpec(&spec); }));
}

PyObject* make_view(PyObject* reader, std::string_view bytes) {
    PyTypeObject* type = view_type();
    Ref exporter(type ? type->tp_alloc(type, 0) : nullptr);
    if (!exporter) {
        as_reader(reader)->unpin();  // the pin was handed over; nobody else will drop it
        return nullptr;
    }
    ViewObject* v = as_view(exporter.get());
    v->data = bytes.data();
    v->size = static_cast<Py_ssize_t>(bytes.size());
    // The exporter owns the pin now and drops it when it goes, whether or not the memoryview
    // below comes to be.
    v->reader = Py_NewRef(reader);
    return PyMemoryView_FromObject(exporter.get());
}

}  // namespace tarnkv::native
