// velmogpio._velmogpio: the library's calls for Python, one function each,
// with the arguments checked before any port is touched. The package's
// __init__.py builds the public module on these.
//
// The library is compiled into this module (its own copy, with the real
// port primitives), so its globals are this module's: BaseAddress and the
// position tables are read and written here, never exported.
//
// Every library call runs with the GIL released. errno is taken right
// after a failed call, before the GIL is taken back: it is the kernel's
// answer to the refused ioperm, and Error's errno.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "VELMOGPIOLib.h"
#include "velmogpio_rules.h"

#include <cerrno>
#include <climits>
#include <cstdint>

namespace {

// velmogpio.Error, handed over by __init__.py when it has made it.
PyObject *error_class = nullptr;

// Raises velmogpio.Error(errno, the library's message); returns nullptr.
PyObject *raise_refusal(int saved_errno)
{
    char *text = nullptr;
    KVNGetLastError(&text);
    PyObject *cls = error_class != nullptr ? error_class : PyExc_OSError;
    PyObject *exc = PyObject_CallFunction(cls, "is", saved_errno, text);
    if (exc != nullptr) {
        PyErr_SetObject(cls, exc);
        Py_DECREF(exc);
    }
    return nullptr;
}

// An int from obj, or -1 with an exception: TypeError for what is not an
// integer, ValueError (saying what) for one outside lo-hi.
bool int_in(PyObject *obj, long lo, long hi, const char *what, long *out)
{
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow != 0 || v < lo || v > hi) {
        PyErr_Format(PyExc_ValueError, what, obj);
        return false;
    }
    *out = v;
    return true;
}

bool line_of(PyObject *obj, int *line)
{
    long v = 0;
    if (!int_in(obj, 1, VELMOGPIO_LINES, "bad line %R (lines are 1 to 8)", &v)) {
        return false;
    }
    *line = static_cast<int>(v);
    return true;
}

bool level_of(PyObject *obj, unsigned int *level)
{
    long v = 0;
    if (!int_in(obj, 0, 1, "bad level %R (0 or 1)", &v)) {
        return false;
    }
    *level = static_cast<unsigned int>(v);
    return true;
}

PyObject *check_line(PyObject *, PyObject *arg)
{
    int line = 0;
    return line_of(arg, &line) ? PyLong_FromLong(line) : nullptr;
}

PyObject *check_level(PyObject *, PyObject *arg)
{
    unsigned int level = 0;
    return level_of(arg, &level) ? PyLong_FromUnsignedLong(level) : nullptr;
}

PyObject *read(PyObject *, PyObject *arg)
{
    int line = 0;
    if (!line_of(arg, &line)) {
        return nullptr;
    }
    int level = 0;
    int result = 0;
    int saved_errno = 0;
    Py_BEGIN_ALLOW_THREADS;
    errno = 0;
    result = VelmoGPIOInputBit(line, &level);
    saved_errno = errno;
    Py_END_ALLOW_THREADS;
    return result == 0 ? PyLong_FromLong(level) : raise_refusal(saved_errno);
}

PyObject *drive(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    int line = 0;
    unsigned int level = 0;
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "drive(line, level)");
        return nullptr;
    }
    if (!line_of(args[0], &line) || !level_of(args[1], &level)) {
        return nullptr;
    }
    int result = 0;
    int saved_errno = 0;
    Py_BEGIN_ALLOW_THREADS;
    errno = 0;
    result = VelmoGPIOOutputBit(line, level);
    saved_errno = errno;
    Py_END_ALLOW_THREADS;
    if (result != 0) {
        return raise_refusal(saved_errno);
    }
    Py_RETURN_NONE;
}

PyObject *config(PyObject *, PyObject *arg)
{
    long word = 0;
    if (!int_in(arg, 0, 255, "bad configuration word %R (0 to 255: bit i is line i+1, 1 input)", &word)) {
        return nullptr;
    }
    int result = 0;
    int saved_errno = 0;
    Py_BEGIN_ALLOW_THREADS;
    errno = 0;
    result = VelmoGPIOConfig(static_cast<unsigned int>(word));
    saved_errno = errno;
    Py_END_ALLOW_THREADS;
    if (result != 0) {
        return raise_refusal(saved_errno);
    }
    Py_RETURN_NONE;
}

// config_lines(((line, is_input), ...)): each line once.
PyObject *config_lines(PyObject *, PyObject *arg)
{
    int lines[VELMOGPIO_LINES] = {};
    bool inputs[VELMOGPIO_LINES] = {};
    bool named[VELMOGPIO_LINES + 1] = {};
    PyObject *seq = PySequence_Fast(arg, "config_lines wants (line, is_input) pairs");
    if (seq == nullptr) {
        return nullptr;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    int count = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *pair = PySequence_Fast_GET_ITEM(seq, i);
        int line = 0;
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            PyErr_SetString(PyExc_TypeError, "config_lines wants (line, is_input) pairs");
        } else if (line_of(PyTuple_GET_ITEM(pair, 0), &line) && named[line]) {
            PyErr_Format(PyExc_ValueError, "line %d is named twice", line);
        }
        if (PyErr_Occurred()) {
            Py_DECREF(seq);
            return nullptr;
        }
        const int input = PyObject_IsTrue(PyTuple_GET_ITEM(pair, 1));
        if (input < 0) {
            Py_DECREF(seq);
            return nullptr;
        }
        named[line] = true;
        lines[count] = line;
        inputs[count] = input == 1;
        ++count;
    }
    Py_DECREF(seq);
    int result = 0;
    int saved_errno = 0;
    Py_BEGIN_ALLOW_THREADS;
    errno = 0;
    result = velmo::gpio::config_lines(lines, inputs, count);
    saved_errno = errno;
    Py_END_ALLOW_THREADS;
    if (result != 0) {
        return raise_refusal(saved_errno);
    }
    Py_RETURN_NONE;
}

// state() -> [(line, "in"|"out", level), ...]: the eight levels, then the
// two direction registers, as `velmogpio show` reads them.
PyObject *state(PyObject *, PyObject *)
{
    int levels[VELMOGPIO_LINES] = {};
    unsigned int d1 = 0;
    unsigned int d2 = 0;
    int result = 0;
    int saved_errno = 0;
    Py_BEGIN_ALLOW_THREADS;
    errno = 0;
    for (int line = 1; line <= VELMOGPIO_LINES && result == 0; ++line) {
        result = VelmoGPIOInputBit(line, &levels[line - 1]);
    }
    saved_errno = errno;
    if (result == 0) {
        velmo::gpio::read_directions(&d1, &d2);
    }
    Py_END_ALLOW_THREADS;
    if (result != 0) {
        return raise_refusal(saved_errno);
    }
    PyObject *list = PyList_New(VELMOGPIO_LINES);
    for (int line = 1; list != nullptr && line <= VELMOGPIO_LINES; ++line) {
        const bool input = velmo::gpio::is_input(VELMOGPIO_LINE_BANK(line) == 1 ? d1 : d2, line);
        PyObject *item = Py_BuildValue("(isi)", line, input ? "in" : "out", levels[line - 1]);
        if (item == nullptr) {
            Py_CLEAR(list);
            break;
        }
        PyList_SET_ITEM(list, line - 1, item);
    }
    return list;
}

PyObject *get_base(PyObject *, PyObject *)
{
    return PyLong_FromLong(BaseAddress);
}

PyObject *set_base(PyObject *, PyObject *arg)
{
    long v = 0;
    if (!int_in(arg, INT_MIN, INT_MAX, "bad base %R (a 32-bit int, as the C library's)", &v)) {
        return nullptr;
    }
    BaseAddress = static_cast<int>(v);
    Py_RETURN_NONE;
}

// The position table entry of a line: GPIO1_pos[n-1] or GPIO2_pos[n-5].
PyObject *get_pos(PyObject *, PyObject *arg)
{
    int line = 0;
    return line_of(arg, &line) ? PyLong_FromLong(VELMOGPIO_LINE_POS(line)) : nullptr;
}

PyObject *set_pos(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    int line = 0;
    long bit = 0;
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "set_pos(line, bit)");
        return nullptr;
    }
    if (!line_of(args[0], &line) || !int_in(args[1], INT_MIN, INT_MAX, "bad bit position %R (a 32-bit int)", &bit)) {
        return nullptr;
    }
    (line <= 4 ? GPIO1_pos[line - 1] : GPIO2_pos[line - 5]) = static_cast<int>(bit);
    Py_RETURN_NONE;
}

PyObject *set_error_class(PyObject *, PyObject *arg)
{
    Py_INCREF(arg);
    Py_XSETREF(error_class, arg);
    Py_RETURN_NONE;
}

// --- watch -------------------------------------------------------------------

struct Watch {
    PyObject_HEAD velmo::gpio::LinePoll *poll;
    bool busy; // a next() runs without the GIL
};

// Watch(lines, edge, interval_ns, timeout_ns): lines and values checked by
// the caller but for the lines' range, which the poll relies on. The first
// reading is taken here.
PyObject *watch_new(PyTypeObject *type, PyObject *args, PyObject *)
{
    PyObject *lines_arg = nullptr;
    int edge = 0;
    long long interval_ns = 0;
    long long timeout_ns = 0;
    if (!PyArg_ParseTuple(args, "OiLL", &lines_arg, &edge, &interval_ns, &timeout_ns)) {
        return nullptr;
    }
    PyObject *seq = PySequence_Fast(lines_arg, "lines");
    if (seq == nullptr) {
        return nullptr;
    }
    int lines[VELMOGPIO_LINES] = {};
    bool named[VELMOGPIO_LINES + 1] = {};
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    if (n < 1 || n > VELMOGPIO_LINES) {
        PyErr_SetString(PyExc_ValueError, "watch needs at least one line");
    }
    for (Py_ssize_t i = 0; i < n && !PyErr_Occurred(); ++i) {
        if (line_of(PySequence_Fast_GET_ITEM(seq, i), &lines[i]) && named[lines[i]]) {
            PyErr_Format(PyExc_ValueError, "line %d is named twice", lines[i]);
        }
        named[lines[i]] = true;
    }
    Py_DECREF(seq);
    if (!PyErr_Occurred() && (edge < 0 || edge > 2 || interval_ns < 1)) {
        PyErr_SetString(PyExc_ValueError, "bad edge or interval");
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    auto *self = reinterpret_cast<Watch *>(type->tp_alloc(type, 0));
    if (self == nullptr) {
        return nullptr;
    }
    self->poll = new velmo::gpio::LinePoll(lines, static_cast<int>(n), static_cast<velmo::gpio::Edge>(edge),
                                           interval_ns, timeout_ns);
    int result = 0;
    int saved_errno = 0;
    Py_BEGIN_ALLOW_THREADS;
    errno = 0;
    result = self->poll->start();
    saved_errno = errno;
    Py_END_ALLOW_THREADS;
    if (result != 0) {
        Py_DECREF(self);
        return raise_refusal(saved_errno);
    }
    return reinterpret_cast<PyObject *>(self);
}

void watch_dealloc(PyObject *obj)
{
    PyTypeObject *type = Py_TYPE(obj);
    delete reinterpret_cast<Watch *>(obj)->poll;
    type->tp_free(obj);
    Py_DECREF(type); // a heap type: each instance holds it
}

// (seconds, line, level) of the next edge; StopIteration at the timeout.
PyObject *watch_next(PyObject *obj)
{
    auto *self = reinterpret_cast<Watch *>(obj);
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "this watch is already waiting in another thread");
        return nullptr;
    }
    for (;;) {
        velmo::gpio::PollEvent e{};
        velmo::gpio::LinePoll::Result result{};
        int saved_errno = 0;
        self->busy = true;
        Py_BEGIN_ALLOW_THREADS;
        errno = 0;
        result = self->poll->next(&e);
        saved_errno = errno;
        Py_END_ALLOW_THREADS;
        self->busy = false;
        switch (result) {
        case velmo::gpio::LinePoll::kEvent:
            return Py_BuildValue("(dii)", static_cast<double>(e.t_ns) / 1e9, e.line, e.level);
        case velmo::gpio::LinePoll::kTimedOut: return nullptr; // no exception set: the end
        case velmo::gpio::LinePoll::kRefused: return raise_refusal(saved_errno);
        case velmo::gpio::LinePoll::kNothingYet:
            // Signals that came meanwhile have their Python handlers run
            // now (KeyboardInterrupt for Ctrl-C ends the watch); otherwise
            // the wait goes on.
            if (PyErr_CheckSignals() != 0) {
                return nullptr;
            }
            break;
        }
    }
}

PyType_Slot watch_slots[] = {
    {Py_tp_doc, const_cast<char *>("Watch(lines, edge, interval_ns, timeout_ns): (seconds, line, level) per edge.")},
    {Py_tp_new, reinterpret_cast<void *>(watch_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(watch_dealloc)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(watch_next)},
    {0, nullptr},
};

PyType_Spec watch_spec = {"velmogpio._velmogpio.Watch", sizeof(Watch), 0, Py_TPFLAGS_DEFAULT, watch_slots};

PyMethodDef methods[] = {
    {"check_line", check_line, METH_O, "check_line(line) -> int: the line, or ValueError outside 1-8."},
    {"check_level", check_level, METH_O, "check_level(level) -> int: the level, or ValueError if not 0 or 1."},
    {"read", read, METH_O, "read(line) -> int: VelmoGPIOInputBit."},
    {"drive", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(drive)), METH_FASTCALL,
     "drive(line, level): VelmoGPIOOutputBit."},
    {"config", config, METH_O, "config(word): VelmoGPIOConfig."},
    {"config_lines", config_lines, METH_O,
     "config_lines(((line, is_input), ...)): the named lines, the others as the board has them."},
    {"state", state, METH_NOARGS, "state() -> [(line, 'in'|'out', level)]: the eight lines."},
    {"get_base", get_base, METH_NOARGS, "get_base() -> int: BaseAddress."},
    {"set_base", set_base, METH_O, "set_base(port): BaseAddress = port."},
    {"get_pos", get_pos, METH_O, "get_pos(line) -> int: the line's bit in its bank's registers."},
    {"set_pos", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_pos)), METH_FASTCALL,
     "set_pos(line, bit): moves the line to another bit."},
    {"set_error_class", set_error_class, METH_O, "set_error_class(cls): the class refusals are raised as."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "velmogpio._velmogpio",
    "The Velmo GPIO library's calls; use the velmogpio package, which checks and documents them.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__velmogpio(void)
{
    PyObject *m = PyModule_Create(&module);
    if (m == nullptr) {
        return nullptr;
    }
    PyObject *watch_type = PyType_FromSpec(&watch_spec);
    if (watch_type == nullptr || PyModule_AddObject(m, "Watch", watch_type) < 0) {
        Py_XDECREF(watch_type);
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
