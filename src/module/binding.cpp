// Argument binding of every registered operation and the two value
// conversions (truth and signed 32-bit integer) that parameters, attribute
// writes and pickled fields share.
#include "module/module.hpp"
#include "graph/graph.hpp"

#include <climits>

namespace tarn {
namespace {

std::nullptr_t
count_error(const OpSpec &op, const char *word, Py_ssize_t expected,
            Py_ssize_t given) noexcept
{
    return raise_format(PyExc_TypeError, Msg::Count, op.name, word, expected,
                        expected == 1 ? "" : "s", given);
}

// The count message for too few or too many positional arguments.
void
wrong_count(const OpSpec &op, Py_ssize_t given) noexcept
{
    if (op.nparams == op.nrequired) {
        count_error(op, "exactly", op.nparams, given);
    }
    else if (given < op.nrequired) {
        count_error(op, "at least", op.nrequired, given);
    }
    else {
        count_error(op, "at most", op.nparams, given);
    }
}

// Index of the parameter called `key`, searching from `start`; -1 if none.
// Interned names are tried by identity first, then by string equality.
int
find_param(Op op, const OpSpec &spec, PyObject *key, int start) noexcept
{
    PyObject *const *names = strings.params[static_cast<int>(op)];
    for (int i = start; i < spec.nparams; ++i) {
        if (names[i] == key) {
            return i;
        }
    }
    for (int i = start; i < spec.nparams; ++i) {
        if (PyUnicode_Compare(key, names[i]) == 0) {
            return i;
        }
    }
    return -1;
}

// Binds one keyword; 0 or -1 with the binding message set.
int
bind_keyword(Op op, const OpSpec &spec, PyObject *key, PyObject *value,
             Py_ssize_t nargs, Args &out, bool host_checked_keys) noexcept
{
    if (!PyUnicode_Check(key)) {
        if (host_checked_keys) {
            raise(PyExc_TypeError, Msg::KeywordTypeHost);
        }
        else {
            raise_format(PyExc_TypeError, Msg::KeywordType, spec.name);
        }
        return -1;
    }
    int i = find_param(op, spec, key, static_cast<int>(nargs));
    if (i >= 0) {
        out.obj[i] = value;
        return 0;
    }
    if (find_param(op, spec, key, 0) >= 0) {
        raise_format(PyExc_TypeError, Msg::MultipleValues, spec.name, key);
    }
    else {
        raise_format(PyExc_TypeError, Msg::UnexpectedKeyword, spec.name, key);
    }
    return -1;
}

// Fills a parameter that received no value with its default.
void
fill_default(const ParamSpec &p, Args &out, int i) noexcept
{
    // A defaulted flag or integer is only read through `num`.
    out.num[i] = 0;
    out.obj[i] = p.fallback == Default::None    ? Py_None
                 : p.fallback == Default::False ? Py_False
                                                : nullptr;
}

// Steps after the keywords: missing required parameters, defaults,
// conversions, then the argument-type tests.
int
finish(Op op, const OpSpec &spec, Py_ssize_t nargs, Args &out) noexcept
{
    for (int i = static_cast<int>(nargs); i < spec.nrequired; ++i) {
        if (!out.obj[i]) {
            const char *word =
                spec.nparams == spec.nrequired ? "exactly" : "at least";
            count_error(spec, word, spec.nrequired, i);
            add_traceback_entry(spec.entry);
            return -1;
        }
    }
    for (int i = 0; i < spec.nparams; ++i) {
        const ParamSpec &p = spec.params[i];
        out.num[i] = 0;
        if (!out.obj[i]) {
            fill_default(p, out, i);
            continue;
        }
        int rc = 0;
        if (p.kind == Kind::Flag) {
            rc = to_flag(out.obj[i], &out.num[i]);
        }
        else if (p.kind == Kind::Int) {
            rc = to_int32(out.obj[i], &out.num[i]);
        }
        if (rc < 0) {
            add_traceback_entry(spec.entry);
            return -1;
        }
    }
    for (int i = 0; i < spec.nparams; ++i) {
        const ParamSpec &p = spec.params[i];
        PyObject *v = out.obj[i];
        if (p.kind == Kind::Str && !is_name(v)) {
            raise_format(PyExc_TypeError, Msg::ArgumentType, p.name, "str",
                         Py_TYPE(v)->tp_name);
            return -1;
        }
        if (p.kind == Kind::Node && v != Py_None &&
            !PyObject_TypeCheck(v, &NodeType)) {
            raise_format(PyExc_TypeError, Msg::ArgumentType, p.name,
                         NodeType.tp_name, Py_TYPE(v)->tp_name);
            return -1;
        }
    }
    (void)op;
    return 0;
}

// The common call: parameters given by position only, none of them to be
// converted, all names proper. True when it applied; otherwise the full
// binding runs and reports whatever is wrong.
bool
bind_plain(const OpSpec &spec, PyObject *const *args, Py_ssize_t nargs,
           Args &out) noexcept
{
    if (nargs < spec.nrequired || nargs > spec.nparams) {
        return false;
    }
    for (int i = 0; i < nargs; ++i) {
        Kind kind = spec.params[i].kind;
        if (kind == Kind::Str ? !is_name(args[i])
            : kind == Kind::Node ? !(args[i] == Py_None || is_node(args[i]))
                                 : kind != Kind::Object) {
            return false;
        }
        out.obj[i] = args[i];
    }
    for (int i = static_cast<int>(nargs); i < spec.nparams; ++i) {
        fill_default(spec.params[i], out, i);
    }
    return true;
}

}  // namespace

int
bind_vector(Op op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
            Args &out) noexcept
{
    const OpSpec &spec = op_spec(op);
    if (!kwnames && bind_plain(spec, args, nargs, out)) {
        return 0;
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (spec.nparams == 0) {
        if (nargs > 0) {
            count_error(spec, "exactly", 0, nargs);
            return -1;
        }
        if (nkw > 0) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, 0);
            if (!PyUnicode_Check(key)) {
                raise_format(PyExc_TypeError, Msg::KeywordType, spec.name);
                return -1;
            }
            raise_format(PyExc_TypeError, Msg::UnexpectedKeyword, spec.name,
                         key);
            return -1;
        }
        return 0;
    }
    if (nkw == 0) {
        if (nargs < spec.nrequired || nargs > spec.nparams) {
            wrong_count(spec, nargs);
            add_traceback_entry(spec.entry);
            return -1;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            out.obj[i] = args[i];
        }
        for (int i = static_cast<int>(nargs); i < spec.nparams; ++i) {
            out.obj[i] = nullptr;
        }
        return finish(op, spec, nargs, out);
    }
    if (nargs > spec.nparams) {
        wrong_count(spec, nargs);
        add_traceback_entry(spec.entry);
        return -1;
    }
    for (int i = 0; i < spec.nparams; ++i) {
        out.obj[i] = i < nargs ? args[i] : nullptr;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (bind_keyword(op, spec, PyTuple_GET_ITEM(kwnames, k),
                         args[nargs + k], nargs, out, false) < 0) {
            add_traceback_entry(spec.entry);
            return -1;
        }
    }
    return finish(op, spec, nargs, out);
}

int
bind_dict(Op op, PyObject *args, PyObject *kwargs, DictArgs &out) noexcept
{
    const OpSpec &spec = op_spec(op);
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    // Too many positional arguments is reported before the keys are looked
    // at, as it is for a call without keywords.
    if (nargs > spec.nparams ||
        (nkw == 0 && spec.nparams > 0 && nargs < spec.nrequired)) {
        if (spec.nparams == 0) {
            count_error(spec, "exactly", 0, nargs);
            return -1;
        }
        wrong_count(spec, nargs);
        add_traceback_entry(spec.entry);
        return -1;
    }
    if (nkw > 0) {
        // All keys must be strings before any is looked at.
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                raise(PyExc_TypeError, Msg::KeywordTypeHost);
                if (spec.nparams > 0) {
                    add_traceback_entry(spec.entry);
                }
                return -1;
            }
        }
    }
    if (spec.nparams == 0) {
        if (nkw > 0) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            PyDict_Next(kwargs, &pos, &key, &value);
            raise_format(PyExc_TypeError, Msg::UnexpectedKeyword, spec.name,
                         key);
            return -1;
        }
        return 0;
    }
    for (int i = 0; i < spec.nparams; ++i) {
        out.obj[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    }
    if (nkw > 0) {
        // No script code runs while the dictionary is walked (keys are
        // compared as strings), but the conversions after it may run some,
        // so every value taken from it is owned from here on.
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (bind_keyword(op, spec, key, value, nargs, out, true) < 0) {
                add_traceback_entry(spec.entry);
                return -1;
            }
        }
        for (int i = static_cast<int>(nargs); i < spec.nparams; ++i) {
            out.held[i] = Ref::borrow(out.obj[i]);
        }
    }
    return finish(op, spec, nargs, out);
}

int
to_flag(PyObject *value, int *out) noexcept
{
    if (value == Py_True) {
        *out = 1;
        return 0;
    }
    if (value == Py_False || value == Py_None) {
        *out = 0;
        return 0;
    }
    int truth = PyObject_IsTrue(value);
    if (truth < 0) {
        return -1;
    }
    *out = truth;
    return 0;
}

namespace {

int
long_to_int32(PyObject *value, int *out) noexcept
{
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (overflow != 0 || v < INT_MIN || v > INT_MAX) {
        raise(PyExc_OverflowError, Msg::IntOverflow);
        return -1;
    }
    *out = static_cast<int>(v);
    return 0;
}

}  // namespace

int
to_int32(PyObject *value, int *out) noexcept
{
    if (PyLong_Check(value)) {
        return long_to_int32(value, out);
    }
    PyNumberMethods *nb = Py_TYPE(value)->tp_as_number;
    if (!nb || !nb->nb_int) {
        raise(PyExc_TypeError, Msg::IntegerRequired);
        return -1;
    }
    Ref result = Ref::steal(nb->nb_int(value));
    if (!result) {
        return -1;
    }
    if (!PyLong_CheckExact(result.get())) {
        if (!PyLong_Check(result.get())) {
            raise_format(PyExc_TypeError, Msg::IntReturnedNonInt,
                         Py_TYPE(result.get())->tp_name);
            return -1;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             message(Msg::IntReturnedSubclass),
                             Py_TYPE(result.get())->tp_name) < 0) {
            return -1;
        }
    }
    return long_to_int32(result.get(), out);
}

int
check_exact(PyObject *value, PyTypeObject *type, const char *type_name) noexcept
{
    if (value == Py_None || Py_IS_TYPE(value, type)) {
        return 0;
    }
    raise_format(PyExc_TypeError, Msg::RefusedWrite, type_name,
                 Py_TYPE(value)->tp_name);
    return -1;
}

int
write_typed(PyObject *&field, PyObject *value, PyTypeObject *type,
            const char *type_name, Site site) noexcept
{
    if (!value) {
        set_field(field, Py_None);
        return 0;
    }
    if (check_exact(value, type, type_name) < 0) {
        add_traceback_entry(site);
        return -1;
    }
    set_field(field, value);
    return 0;
}

}  // namespace tarn
