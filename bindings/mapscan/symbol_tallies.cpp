#include "bindings/mapscan/symbol_tallies.hpp"

#include <new>
#include <utility>
#include <vector>

#include "bindings/mapscan/py_ref.hpp"

#ifndef Py_T_OBJECT_EX
#include <structmember.h>
#define Py_T_OBJECT_EX T_OBJECT_EX
#endif

// Both loops keep the Python semantics of the code they replace for any object they
// are given: attributes are read in the same order, truth, comparison and addition
// are Python's, and the first error is the one Python would raise. Only the common
// case is quicker: records of the reader's own type are read slot by slot, and
// sizes that are exact ints add up as machine integers until one would overflow.

namespace mapscan {
namespace {

enum Field { kName, kSize, kSectionName, kObjectFile, kArchive, kSourceFile, kCompilationUnit, kFields };
constexpr const char* kFieldNames[kFields] = {"name",    "size",        "section_name",    "object_file",
                                              "archive", "source_file", "compilation_unit"};

// Reads a record's attributes: a record of exactly the given type from its slots,
// anything else (or a slot left empty, for the error) through getattr.
class Fields {
 public:
  explicit Fields(PyObject* type) {
    if (!PyType_Check(type)) {
      PyErr_SetString(PyExc_TypeError, "the record type must be a type");
      throw PyErrorSet{};
    }
    type_ = reinterpret_cast<PyTypeObject*>(type);
    for (int k = 0; k < kFields; ++k) {
      names_[k] = check(PyUnicode_InternFromString(kFieldNames[k]));
      PyObject* descr = _PyType_Lookup(type_, names_[k]);  // borrowed
      offsets_[k] = -1;
      // A slot descriptor of another class's layout, stored under this class's name,
      // would point into the wrong object.
      if (descr && Py_IS_TYPE(descr, &PyMemberDescr_Type) &&
          PyType_IsSubtype(type_, reinterpret_cast<PyDescrObject*>(descr)->d_type)) {
        const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
        bool plain = member->type == Py_T_OBJECT_EX;
#ifdef Py_RELATIVE_OFFSET
        plain = plain && !(member->flags & Py_RELATIVE_OFFSET);
#endif
        if (plain) offsets_[k] = member->offset;
      }
    }
    // A type of its own attribute look-up could answer otherwise than its slots.
    if (type_->tp_getattro != PyObject_GenericGetAttr) {
      for (Py_ssize_t& offset : offsets_) offset = -1;
    }
  }
  Ref get(PyObject* record, Field k) const {
    if (Py_IS_TYPE(record, type_) && offsets_[k] >= 0) {
      PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(record) + offsets_[k]);
      if (v) return Ref(Py_NewRef(v));
    }
    return Ref(check(PyObject_GetAttr(record, names_[k])));
  }

 private:
  PyTypeObject* type_ = nullptr;
  // Freed with the record reader, or when its making fails half way.
  struct Names {
    PyObject* at[kFields] = {};
    Names() = default;
    Names(const Names&) = delete;
    Names& operator=(const Names&) = delete;
    ~Names() {
      for (PyObject* name : at) Py_XDECREF(name);
    }
    PyObject*& operator[](int k) { return at[k]; }
    PyObject* operator[](int k) const { return at[k]; }
  } names_;
  Py_ssize_t offsets_[kFields];
};

// The value of an exact int that fits 64 bits; `overflow` is its sign when it does not.
bool small_int(PyObject* o, long long& v, int& overflow) {
  if (!PyLong_CheckExact(o)) return false;
  overflow = 0;
  v = PyLong_AsLongLongAndOverflow(o, &overflow);
  return true;
}

// A running sum `total = total + value`, started at int 0.
class Sum {
 public:
  void add(PyObject* value) {
    long long v, sum;
    int overflow;
    if (!big_.get() && small_int(value, v, overflow) && !overflow && !__builtin_add_overflow(small_, v, &sum)) {
      small_ = sum;
      return;
    }
    if (!big_.get()) big_ = Ref(check(PyLong_FromLongLong(small_)));
    big_ = Ref(check(PyNumber_Add(big_.get(), value)));
  }
  PyObject* result() {
    if (big_.get()) return big_.release();
    return check(PyLong_FromLongLong(small_));
  }

 private:
  long long small_ = 0;
  Ref big_;
};

// Python's `value > 0` (greater) or `0 > value` (not greater) as a C truth.
bool compares_with_zero(PyObject* value, bool greater, PyObject* zero) {
  long long v;
  int overflow;
  if (small_int(value, v, overflow)) {
    const int sign = overflow ? overflow : (v > 0) - (v < 0);
    return greater ? sign > 0 : sign < 0;
  }
  const int r = greater ? PyObject_RichCompareBool(value, zero, Py_GT) : PyObject_RichCompareBool(zero, value, Py_GT);
  if (r < 0) throw PyErrorSet{};
  return r != 0;
}

bool truth(PyObject* o) {
  if (o == Py_None) return false;
  if (PyUnicode_CheckExact(o)) return PyUnicode_GET_LENGTH(o) != 0;
  const int r = PyObject_IsTrue(o);
  if (r < 0) throw PyErrorSet{};
  return r != 0;
}

// An object whose truth, hash and equality cannot change from one look at it to
// the next: the same object twice in a row gives the same answers again.
bool settled(PyObject* o) { return o == Py_None || PyUnicode_CheckExact(o); }

PyObject* dict_get(PyObject* dict, PyObject* key) {
  PyObject* v = PyDict_GetItemWithError(dict, key);  // borrowed
  if (!v && PyErr_Occurred()) throw PyErrorSet{};
  return v;
}

struct Group {
  Ref objects;  // set
  Ref names;    // list
  Sum flash;
  Sum ram;
};

template <class F>
PyObject* boundary(F&& f) {
  try {
    return f();
  } catch (const PyErrorSet&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace

const char* const kComponentTalliesDoc =
    "component_tallies(symbols, record_type, label_archives, counts, directory_group, /)\n--\n\n"
    "The components of a build's symbols: {name: [object files (set), flash, RAM, symbol names]}.\n"
    "label_archives(set of archives) gives each archive's component name; directory_group(object\n"
    "file) that of an object outside archives; counts maps a section name to (counts towards RAM,\n"
    "counts towards flash).";

PyObject* component_tallies(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 5) {
    PyErr_SetString(PyExc_TypeError, "component_tallies() takes 5 arguments");
    return nullptr;
  }
  return boundary([&]() -> PyObject* {
    PyObject* symbols = args[0];
    const Fields fields(args[1]);
    PyObject* counts = args[3];
    PyObject* directory_group = args[4];
    if (!PyDict_Check(counts)) {
      PyErr_SetString(PyExc_TypeError, "component_tallies(): counts must be a dict");
      throw PyErrorSet{};
    }
    // A list is walked as its iterator walks it, re-reading its length each step.
    Ref items(check(PySequence_Fast(symbols, "component_tallies(): symbols must be iterable")));

    // The archives first: a name shared by two archives in different directories
    // gives both their paths, so every archive must be known before the first label.
    Ref archives(check(PySet_New(nullptr)));
    Ref last;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
      Ref symbol(Py_NewRef(PySequence_Fast_GET_ITEM(items.get(), i)));
      Ref archive = fields.get(symbol.get(), kArchive);
      if (archive.get() == last.get() && settled(archive.get())) continue;
      if (truth(archive.get()) && PySet_Add(archives.get(), archive.get()) < 0) throw PyErrorSet{};
      last = std::move(archive);
    }
    Ref labels(check(PyObject_CallOneArg(args[2], archives.get())));
    if (!PyDict_Check(labels.get())) {
      PyErr_SetString(PyExc_TypeError, "component_tallies(): label_archives must return a dict");
      throw PyErrorSet{};
    }

    Ref unattributed(check(PyUnicode_InternFromString("(unattributed)")));
    Ref zero(check(PyLong_FromLong(0)));
    Ref index_of(check(PyDict_New()));  // component name -> index into groups
    Ref directories(check(PyDict_New()));
    std::vector<Group> groups;
    // Symbols of one input section come together and share their archive, object and
    // section objects: their group and counts are looked up once for the run.
    Ref run_archive, run_object, run_section;
    size_t group = 0;
    int flags = -1;  // -1: not counted; else bit 0 RAM, bit 1 flash
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
      Ref symbol(Py_NewRef(PySequence_Fast_GET_ITEM(items.get(), i)));
      Ref archive = fields.get(symbol.get(), kArchive);
      Ref object_file = fields.get(symbol.get(), kObjectFile);
      if (archive.get() != run_archive.get() || object_file.get() != run_object.get() ||
          !settled(archive.get()) || !settled(object_file.get())) {
        Ref name;
        if (truth(archive.get())) {
          name = Ref(check(PyObject_GetItem(labels.get(), archive.get())));
        } else if (truth(object_file.get())) {
          PyObject* known = dict_get(directories.get(), object_file.get());
          if (known && truth(known)) {
            name = Ref(Py_NewRef(known));
          } else {
            Ref made(check(PyObject_CallOneArg(directory_group, object_file.get())));
            name = Ref(Py_NewRef(check(PyDict_SetDefault(directories.get(), object_file.get(), made.get()))));
          }
        } else {
          name = Ref(Py_NewRef(unattributed.get()));
        }
        PyObject* at = dict_get(index_of.get(), name.get());
        if (at) {
          group = PyLong_AsSize_t(at);
        } else {
          group = groups.size();
          Ref index(check(PyLong_FromSize_t(group)));
          if (PyDict_SetItem(index_of.get(), name.get(), index.get()) < 0) throw PyErrorSet{};
          groups.push_back(Group{Ref(check(PySet_New(nullptr))), Ref(check(PyList_New(0))), {}, {}});
        }
        if (truth(object_file.get()) && PySet_Add(groups[group].objects.get(), object_file.get()) < 0) {
          throw PyErrorSet{};
        }
        run_archive = std::move(archive);
        run_object = std::move(object_file);
      }
      Group& g = groups[group];
      Ref name = fields.get(symbol.get(), kName);
      if (PyList_Append(g.names.get(), name.get()) < 0) throw PyErrorSet{};
      Ref section = fields.get(symbol.get(), kSectionName);
      if (section.get() != run_section.get() || !settled(section.get())) {
        PyObject* pair = dict_get(counts, section.get());
        flags = -1;
        if (pair) {
          Ref ram(check(PySequence_GetItem(pair, 0)));
          Ref flash(check(PySequence_GetItem(pair, 1)));
          flags = (truth(ram.get()) ? 1 : 0) | (truth(flash.get()) ? 2 : 0);
        }
        run_section = std::move(section);
      }
      if (flags < 0) continue;
      Ref size = fields.get(symbol.get(), kSize);
      PyObject* counted = compares_with_zero(size.get(), true, zero.get()) ? size.get() : zero.get();
      if (flags & 1) g.ram.add(counted);
      if (flags & 2) g.flash.add(counted);
    }

    Ref out(check(PyDict_New()));
    PyObject* key;
    PyObject* at;
    Py_ssize_t pos = 0;
    while (PyDict_Next(index_of.get(), &pos, &key, &at)) {
      Group& g = groups[PyLong_AsSize_t(at)];
      Ref flash(g.flash.result());
      Ref ram(g.ram.result());
      Ref entry(check(PyList_New(4)));
      PyList_SET_ITEM(entry.get(), 0, g.objects.release());
      PyList_SET_ITEM(entry.get(), 1, flash.release());
      PyList_SET_ITEM(entry.get(), 2, ram.release());
      PyList_SET_ITEM(entry.get(), 3, g.names.release());
      if (PyDict_SetItem(out.get(), key, entry.get()) < 0) throw PyErrorSet{};
    }
    return out.release();
  });
}

const char* const kSymbolSizesDoc =
    "symbol_sizes(symbols, record_type, /)\n--\n\n"
    "{(name, owner): total of max(size, 0)} over the symbols, the owner being the first true of\n"
    "object_file, archive, source_file and compilation_unit, else \"\".";

PyObject* symbol_sizes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "symbol_sizes() takes 2 arguments");
    return nullptr;
  }
  return boundary([&]() -> PyObject* {
    const Fields fields(args[1]);
    Ref items(check(PySequence_Fast(args[0], "symbol_sizes(): symbols must be iterable")));
    Ref empty(check(PyUnicode_FromString("")));
    Ref zero(check(PyLong_FromLong(0)));
    Ref sizes(check(PyDict_New()));
    constexpr Field kOwners[] = {kObjectFile, kArchive, kSourceFile, kCompilationUnit};
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
      Ref symbol(Py_NewRef(PySequence_Fast_GET_ITEM(items.get(), i)));
      Ref name = fields.get(symbol.get(), kName);
      Ref owner;
      for (Field k : kOwners) {
        Ref candidate = fields.get(symbol.get(), k);
        if (truth(candidate.get())) {
          owner = std::move(candidate);
          break;
        }
      }
      Ref key(check(PyTuple_Pack(2, name.get(), owner.get() ? owner.get() : empty.get())));
      Ref size = fields.get(symbol.get(), kSize);
      PyObject* before = dict_get(sizes.get(), key.get());
      if (!before) before = zero.get();
      Ref keep_before(Py_NewRef(before));
      PyObject* counted = compares_with_zero(size.get(), false, zero.get()) ? zero.get() : size.get();
      Ref total;
      long long a, b, sum;
      int o1, o2;
      if (small_int(before, a, o1) && small_int(counted, b, o2) && !o1 && !o2 && !__builtin_add_overflow(a, b, &sum)) {
        total = Ref(check(PyLong_FromLongLong(sum)));
      }
      if (!total.get()) total = Ref(check(PyNumber_Add(before, counted)));
      if (PyDict_SetItem(sizes.get(), key.get(), total.get()) < 0) throw PyErrorSet{};
    }
    return sizes.release();
  });
}

}  // namespace mapscan
