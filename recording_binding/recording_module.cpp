// quillmore._recording: a recording's bytes into arrays, for
// quillmore/recording.py.
//
//   Decoder(*, max_hold)    a BatchDecoder (core/include/quillmore/batch.hpp);
//                           max_hold: raw samples a hold may last
//   Decoder.feed(buffer)    decodes a bytes-like object; returns the rows
//                           that became final, as a tuple of buffers
//                           (raw, clock, eeg, extend, gyro, rr): raw a
//                           Samples object, clock bytes, the rest bytearrays
//   Decoder.keep(buffer)    decodes like feed() but keeps the rows for the
//                           next feed() or finish() (one block for a whole
//                           recording read in pieces)
//   raw_times(clock, n)     the raw samples' seconds from a clock
//   Decoder.finish()        the input has ended; the rest, the same way
//   Decoder.link_gap(s)     the link was down for s seconds here
//   Decoder.loss()          the loss counters, raw_missing and link_gaps,
//                           as a dict
//   Decoder.released        clock position (raw-sample periods) released
//
// A Decoder is used by one call at a time: from the moment a call takes it
// until its result is built and the caller's buffer released (both can run
// Python code, and other threads with it), a second call, loss() and
// released raise RuntimeError.  A decoder that ran out of memory while
// decoding or handing over rows has lost some of them and refuses further
// input.
//   LAYOUTS                 kind -> (itemsize, ((field, format, offset), ...)),
//                           the rows' memory layout for numpy.dtype
//   TEMPERATURE_STATUS      the names of temperature_status 0, 1, 2
//   format_rows(...)        rows as CSV or JSON Lines (text_rows.cpp)
//
// raw holds native int16 (the decoder's own block, handed over); the clock
// is the few steps that place them (core: ClockStep), from which raw_times()
// computes their seconds when they are asked for.  Nothing is built per
// sample and no sample is copied after decoding.  The bytes are decoded
// with the interpreter lock released.
//
// The module keeps no Python object in a static: its types are heap types
// made for each module object and held in its state (ModuleState), the way
// CPython's own extension modules with multi-phase initialisation do.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstddef>
#include <new>
#include <vector>

#include "quillmore/batch.hpp"
#include "text_rows.hpp"

namespace {

using quillmore::Batch;
using quillmore::BatchDecoder;

struct DecoderObject {
    PyObject_HEAD
    BatchDecoder* decoder;
    Batch* batch;
    bool busy;    // a call owns the decoder (see enter())
    bool broken;  // decoding ran out of memory part way through a chunk
};

// The raw samples' memory, handed over by the decoder's array and lent to
// NumPy through the buffer protocol, so the samples are never copied.
struct SamplesObject {
    PyObject_HEAD
    std::int16_t* data;
    Py_ssize_t count;
};

// Instances of a heap type hold a reference to it.
void samplesDealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    delete[] reinterpret_cast<SamplesObject*>(object)->data;
    type->tp_free(object);
    Py_DECREF(type);
}

int samplesGetBuffer(PyObject* object, Py_buffer* view, int flags) {
    auto* self = reinterpret_cast<SamplesObject*>(object);
    return PyBuffer_FillInfo(view, object, self->data, self->count * static_cast<Py_ssize_t>(sizeof(std::int16_t)), 0,
                             flags);
}

PyType_Slot samplesSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(samplesDealloc)},
    {Py_tp_doc, const_cast<char*>("Raw samples (native int16) that a Decoder returned; a buffer for numpy.frombuffer.")},
    {Py_bf_getbuffer, reinterpret_cast<void*>(samplesGetBuffer)},
    {0, nullptr},
};

PyType_Spec samplesSpec = {
    "quillmore._recording.Samples", sizeof(SamplesObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, samplesSlots,
};

// The module's state: everything it keeps beyond the module's dict, which
// is its two types.  They are made per module object from the specs
// (PyType_FromModuleAndSpec) rather than kept in statics, so that each
// interpreter that imports the module has types of its own, and a Decoder
// finds the Samples type through its own type's module
// (PyType_GetModuleState).
struct ModuleState {
    PyTypeObject* decoderType;
    PyTypeObject* samplesType;
};

ModuleState* stateOf(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

ModuleState* stateOfType(PyTypeObject* type) { return static_cast<ModuleState*>(PyType_GetModuleState(type)); }

PyObject* takeSamples(PyTypeObject* samplesType, quillmore::GrowableArray<std::int16_t>& raw) {
    auto* self = PyObject_New(SamplesObject, samplesType);
    if (self == nullptr) return nullptr;
    self->count = static_cast<Py_ssize_t>(raw.size());
    self->data = raw.release().release();
    return reinterpret_cast<PyObject*>(self);
}

template <typename T>
PyObject* bytesOf(const T* data, std::size_t count) {
    return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(data),
                                         static_cast<Py_ssize_t>(count * sizeof(T)));
}

// The raw samples' clock: the recording sample of the first one, then the
// steps, as native uint64 (firstSample, missingBefore) pairs.
PyObject* clockOf(const Batch& batch) {
    const std::size_t words = 1 + 2 * batch.steps.size();
    PyObject* clock = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(words * sizeof(std::uint64_t)));
    if (clock == nullptr) return nullptr;
    auto* out = reinterpret_cast<std::uint64_t*>(PyBytes_AS_STRING(clock));
    out[0] = batch.firstRawSample;
    for (std::size_t k = 0; k < batch.steps.size(); ++k) {
        out[1 + 2 * k] = batch.steps[k].firstSample;
        out[2 + 2 * k] = batch.steps[k].missingBefore;
    }
    return clock;
}

// The batch as the six buffers, then empties it.
PyObject* takeBatch(PyTypeObject* samplesType, Batch& batch) {
    PyObject* times = clockOf(batch);
    PyObject* raw = times != nullptr ? takeSamples(samplesType, batch.raw) : nullptr;
    PyObject* result = nullptr;
    if (raw != nullptr && times != nullptr) {
        PyObject* eeg = bytesOf(batch.eeg.data(), batch.eeg.size());
        PyObject* extend = bytesOf(batch.extend.data(), batch.extend.size());
        PyObject* gyro = bytesOf(batch.gyro.data(), batch.gyro.size());
        PyObject* rr = bytesOf(batch.rr.data(), batch.rr.size());
        if (eeg != nullptr && extend != nullptr && gyro != nullptr && rr != nullptr)
            result = PyTuple_Pack(6, raw, times, eeg, extend, gyro, rr);
        Py_XDECREF(eeg);
        Py_XDECREF(extend);
        Py_XDECREF(gyro);
        Py_XDECREF(rr);
    }
    Py_XDECREF(raw);
    Py_XDECREF(times);
    batch.clear();
    return result;
}

// For readers: the counters are written while a call decodes with the
// interpreter lock released.
bool idle(DecoderObject* self) {
    if (!self->busy) return true;
    PyErr_SetString(PyExc_RuntimeError, "this Decoder is in use by another thread");
    return false;
}

// Takes the decoder for the calling thread until leave().  Everything a
// call does with it, from taking the caller's buffer to handing over the
// batch, happens in between.
bool enter(DecoderObject* self) {
    if (!idle(self)) return false;
    if (self->broken) {
        PyErr_SetString(PyExc_RuntimeError,
                        "this Decoder ran out of memory part way through a chunk and cannot go on; make a new one");
        return false;
    }
    self->busy = true;
    return true;
}

void leave(DecoderObject* self) { self->busy = false; }


PyObject* decoderNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"max_hold", nullptr};
    PyObject* maxHoldArg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$O!:Decoder", const_cast<char**>(keywords), &PyLong_Type,
                                     &maxHoldArg))
        return nullptr;
    unsigned long long maxHold = quillmore::kMaxHeldSamples;
    if (maxHoldArg != nullptr) {
        maxHold = PyLong_AsUnsignedLongLong(maxHoldArg);  // OverflowError when negative
        if (maxHold == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    }
    auto* self = reinterpret_cast<DecoderObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->decoder = new (std::nothrow) BatchDecoder(maxHold);
    self->batch = new (std::nothrow) Batch();
    self->busy = false;
    self->broken = false;
    if (self->decoder == nullptr || self->batch == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(self);
}

void decoderDealloc(PyObject* object) {
    auto* self = reinterpret_cast<DecoderObject*>(object);
    PyTypeObject* type = Py_TYPE(object);
    delete self->decoder;
    delete self->batch;
    type->tp_free(object);
    Py_DECREF(type);
}

// Decodes `data` into the batch; with `take`, returns the batch.  The
// decoder is held from before the buffer is taken until after it is
// released: taking and releasing a buffer, and building the result, can
// run Python code (a __buffer__ or __release_buffer__ method, a finaliser
// the collector calls), and other threads with it.
PyObject* decode(DecoderObject* self, PyObject* data, bool take) {
    if (!enter(self)) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) != 0) {
        leave(self);
        return nullptr;
    }
    bool failed = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        // Room for every raw frame the input can hold, so that a whole
        // recording lands in one block without regrowing.
        self->batch->raw.reserveMore(static_cast<std::size_t>(view.len) / 8);
        self->decoder->feed(static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len),
                            *self->batch);
    } catch (const std::bad_alloc&) {
        failed = true;
    }
    Py_END_ALLOW_THREADS
    PyObject* result = nullptr;
    if (failed) {
        // The chunk is partly decoded and the rest cannot be told apart.
        self->broken = true;
        self->batch->clear();
        PyErr_NoMemory();
    } else if (take) {
        // A failure here has emptied the batch: its rows are gone, so the
        // decoder cannot go on either.
        result = takeBatch(stateOfType(Py_TYPE(self))->samplesType, *self->batch);
        if (result == nullptr) self->broken = true;
    } else {
        result = Py_NewRef(Py_None);
    }
    PyBuffer_Release(&view);
    leave(self);
    return result;
}

PyObject* decoderFeed(PyObject* object, PyObject* data) {
    return decode(reinterpret_cast<DecoderObject*>(object), data, true);
}

PyObject* decoderKeep(PyObject* object, PyObject* data) {
    return decode(reinterpret_cast<DecoderObject*>(object), data, false);
}

PyObject* decoderFinish(PyObject* object, PyObject* /*unused*/) {
    auto* self = reinterpret_cast<DecoderObject*>(object);
    if (!enter(self)) return nullptr;
    PyObject* result = nullptr;
    try {
        self->decoder->finish(*self->batch);
        result = takeBatch(stateOfType(Py_TYPE(self))->samplesType, *self->batch);
        if (result == nullptr) self->broken = true;
    } catch (const std::bad_alloc&) {
        self->broken = true;
        self->batch->clear();
        PyErr_NoMemory();
    }
    leave(self);
    return result;
}

PyObject* decoderLoss(PyObject* object, PyObject* /*unused*/) {
    auto* self = reinterpret_cast<DecoderObject*>(object);
    if (!idle(self)) return nullptr;
    const quillmore::LossCounters& c = self->decoder->loss();
    return Py_BuildValue("{sKsKsKsKsKsKsKsKsKsKsKsK}", "standard_checksum_failures",
                         static_cast<unsigned long long>(c.standardChecksumFailures), "raw_checksum_failures",
                         static_cast<unsigned long long>(c.rawChecksumFailures), "hrv_checksum_failures",
                         static_cast<unsigned long long>(c.hrvChecksumFailures), "bytes_skipped",
                         static_cast<unsigned long long>(c.bytesSkipped), "extended_dropped",
                         static_cast<unsigned long long>(c.extendedDropped), "extended_abandoned",
                         static_cast<unsigned long long>(c.extendedAbandoned), "frames_cut_short",
                         static_cast<unsigned long long>(c.framesCutShort), "raw_missing",
                         static_cast<unsigned long long>(self->decoder->rawMissing()), "link_gaps",
                         static_cast<unsigned long long>(self->decoder->linkGaps()), "raw_missing_min",
                         static_cast<unsigned long long>(self->decoder->rawMissingMin()), "irregular_intervals",
                         static_cast<unsigned long long>(self->decoder->irregularIntervals()),
                         "irregular_shortfall",
                         static_cast<unsigned long long>(self->decoder->irregularShortfall()));
}

PyObject* decoderLinkGap(PyObject* object, PyObject* arg) {
    auto* self = reinterpret_cast<DecoderObject*>(object);
    const double seconds = PyFloat_AsDouble(arg);  // may run __float__
    if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
    if (!(seconds >= 0.0) || seconds == HUGE_VAL) {
        PyErr_SetString(PyExc_ValueError, "link_gap() needs a finite number of seconds, 0 or more");
        return nullptr;
    }
    if (!enter(self)) return nullptr;
    self->decoder->linkGap(seconds);
    leave(self);
    Py_RETURN_NONE;
}

PyObject* decoderReleased(PyObject* object, void* /*unused*/) {
    auto* self = reinterpret_cast<DecoderObject*>(object);
    if (!idle(self)) return nullptr;
    return PyLong_FromUnsignedLongLong(self->decoder->released());
}

// raw_times(clock, count): the seconds of `count` samples from a clock
// that feed() or finish() returned, as a bytearray of native float64.
PyObject* rawTimes(PyObject* /*module*/, PyObject* args) {
    Py_buffer clock;
    Py_ssize_t count = 0;
    if (!PyArg_ParseTuple(args, "y*n:raw_times", &clock, &count)) return nullptr;
    const auto words = static_cast<std::size_t>(clock.len) / sizeof(std::uint64_t);
    if (count < 0 || words == 0 || words % 2 != 1 || static_cast<std::size_t>(clock.len) % sizeof(std::uint64_t) != 0) {
        PyBuffer_Release(&clock);
        PyErr_SetString(PyExc_ValueError, "raw_times() needs a clock from Decoder.feed() and a count of 0 or more");
        return nullptr;
    }
    std::vector<quillmore::ClockStep> steps((words - 1) / 2);
    const auto* in = static_cast<const std::uint64_t*>(clock.buf);
    for (std::size_t k = 0; k < steps.size(); ++k) steps[k] = {in[1 + 2 * k], in[2 + 2 * k]};
    const std::uint64_t first = in[0];
    PyBuffer_Release(&clock);
    if (count > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(double))) return PyErr_NoMemory();
    PyObject* times = PyByteArray_FromStringAndSize(nullptr, count * static_cast<Py_ssize_t>(sizeof(double)));
    if (times == nullptr) return nullptr;
    quillmore::fillRawTimes(first, steps.data(), steps.size(), static_cast<std::size_t>(count),
                            reinterpret_cast<double*>(PyByteArray_AS_STRING(times)));
    return times;
}

PyMethodDef moduleMethods[] = {
    {"raw_times", rawTimes, METH_VARARGS, "raw_times(clock, count) -> bytearray of float64 seconds"},
    {"format_rows", quillmore::recording::formatRows, METH_VARARGS,
     "format_rows(fmt, tables, order) -> str: rows as CSV or JSON Lines text"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef decoderMethods[] = {
    {"feed", decoderFeed, METH_O, "feed(data) -> (raw, raw_time, eeg, extend, gyro, rr): decode more bytes"},
    {"keep", decoderKeep, METH_O, "keep(data) -> None: decode more bytes, keeping the rows for the next call"},
    {"finish", decoderFinish, METH_NOARGS, "finish() -> the same tuple: the input has ended"},
    {"link_gap", decoderLinkGap, METH_O, "link_gap(seconds) -> None: the link was down this long here"},
    {"loss", decoderLoss, METH_NOARGS, "loss() -> dict of the loss counters and raw_missing"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* decoderPosition(PyObject* object, void* /*unused*/) {
    auto* self = reinterpret_cast<DecoderObject*>(object);
    if (!idle(self)) return nullptr;
    return PyLong_FromUnsignedLongLong(self->decoder->position());
}

PyGetSetDef decoderGetSet[] = {
    {"released", decoderReleased, nullptr, "clock position, in raw-sample periods, up to which rows were returned",
     nullptr},
    {"position", decoderPosition, nullptr, "clock position after the last raw sample decoded, as known yet",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot decoderSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(decoderDealloc)},
    {Py_tp_doc, const_cast<char*>("Decoder(*, max_hold=2048): a recording's bytes into arrays, chunk by chunk.")},
    {Py_tp_methods, decoderMethods},
    {Py_tp_getset, decoderGetSet},
    {Py_tp_new, reinterpret_cast<void*>(decoderNew)},
    {0, nullptr},
};

PyType_Spec decoderSpec = {
    "quillmore._recording.Decoder", sizeof(DecoderObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    decoderSlots,
};

// ------------------------------------------------------------------ layouts

struct Field {
    const char* name;
    const char* format;
    std::size_t offset;
};

PyObject* layout(std::size_t itemsize, std::initializer_list<Field> fields) {
    PyObject* list = PyTuple_New(static_cast<Py_ssize_t>(fields.size()));
    if (list == nullptr) return nullptr;
    Py_ssize_t k = 0;
    for (const Field& f : fields) {
        PyObject* item = Py_BuildValue("(ssn)", f.name, f.format, static_cast<Py_ssize_t>(f.offset));
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyTuple_SET_ITEM(list, k++, item);
    }
    PyObject* result = Py_BuildValue("(nN)", static_cast<Py_ssize_t>(itemsize), list);
    return result;
}

#define QM_FIELD(Type, member, name, format) Field{name, format, offsetof(Type, member)}

PyObject* layouts() {
    using quillmore::EegRow;
    using quillmore::ExtendRow;
    using quillmore::GyroRow;
    using quillmore::RrRow;
    PyObject* eeg = layout(sizeof(EegRow), {
        QM_FIELD(EegRow, sample, "sample", "=i8"), QM_FIELD(EegRow, time, "time", "=f8"),
        QM_FIELD(EegRow, signal, "signal", "u1"), QM_FIELD(EegRow, attention, "attention", "u1"),
        QM_FIELD(EegRow, meditation, "meditation", "u1"), QM_FIELD(EegRow, delta, "delta", "=u4"),
        QM_FIELD(EegRow, theta, "theta", "=u4"), QM_FIELD(EegRow, lowAlpha, "lowAlpha", "=u4"),
        QM_FIELD(EegRow, highAlpha, "highAlpha", "=u4"), QM_FIELD(EegRow, lowBeta, "lowBeta", "=u4"),
        QM_FIELD(EegRow, highBeta, "highBeta", "=u4"), QM_FIELD(EegRow, lowGamma, "lowGamma", "=u4"),
        QM_FIELD(EegRow, highGamma, "highGamma", "=u4"),
    });
    PyObject* extend = layout(sizeof(ExtendRow), {
        QM_FIELD(ExtendRow, sample, "sample", "=i8"), QM_FIELD(ExtendRow, time, "time", "=f8"),
        QM_FIELD(ExtendRow, ap, "ap", "u1"), QM_FIELD(ExtendRow, battery, "battery", "u1"),
        QM_FIELD(ExtendRow, version, "version", "=f8"), QM_FIELD(ExtendRow, gnaw, "gnaw", "u1"),
        QM_FIELD(ExtendRow, temperature, "temperature", "=f8"),
        QM_FIELD(ExtendRow, temperatureStatus, "temperature_status", "i1"),
        QM_FIELD(ExtendRow, heart, "heart", "u1"), QM_FIELD(ExtendRow, damaged, "damaged", "?"),
    });
    PyObject* gyro = layout(sizeof(GyroRow), {
        QM_FIELD(GyroRow, sample, "sample", "=i8"), QM_FIELD(GyroRow, time, "time", "=f8"),
        QM_FIELD(GyroRow, x, "x", "=i2"), QM_FIELD(GyroRow, y, "y", "=i2"), QM_FIELD(GyroRow, z, "z", "=i2"),
        QM_FIELD(GyroRow, damaged, "damaged", "?"),
    });
    PyObject* rr = layout(sizeof(RrRow), {
        QM_FIELD(RrRow, sample, "sample", "=i8"), QM_FIELD(RrRow, time, "time", "=f8"),
        QM_FIELD(RrRow, rr1, "rr1", "=u2"), QM_FIELD(RrRow, rr2, "rr2", "=u2"), QM_FIELD(RrRow, rr3, "rr3", "=u2"),
    });
    if (eeg == nullptr || extend == nullptr || gyro == nullptr || rr == nullptr) {
        Py_XDECREF(eeg);
        Py_XDECREF(extend);
        Py_XDECREF(gyro);
        Py_XDECREF(rr);
        return nullptr;
    }
    return Py_BuildValue("{sNsNsNsN}", "eeg", eeg, "extend", extend, "gyro", gyro, "rr", rr);
}

// The names of temperature_status's values, in value order.
constexpr const char* kTemperatureStatusNames[] = {"measured", "no_reading", "no_row"};
static_assert(static_cast<int>(quillmore::TemperatureStatus::Measured) == 0 &&
                  static_cast<int>(quillmore::TemperatureStatus::NoReading) == 1 &&
                  static_cast<int>(quillmore::TemperatureStatus::NoRow) == 2,
              "kTemperatureStatusNames follows TemperatureStatus");

int execModule(PyObject* module) {
    ModuleState* state = stateOf(module);
    state->samplesType = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &samplesSpec, nullptr));
    if (state->samplesType == nullptr) return -1;
    state->decoderType = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &decoderSpec, nullptr));
    if (state->decoderType == nullptr) return -1;
    if (PyModule_AddType(module, state->decoderType) != 0) return -1;
    PyObject* table = layouts();
    if (table == nullptr || PyModule_AddObject(module, "LAYOUTS", table) != 0) {
        Py_XDECREF(table);
        return -1;
    }
    PyObject* statuses = Py_BuildValue("(sss)", kTemperatureStatusNames[0], kTemperatureStatusNames[1],
                                       kTemperatureStatusNames[2]);
    if (statuses == nullptr || PyModule_AddObject(module, "TEMPERATURE_STATUS", statuses) != 0) {
        Py_XDECREF(statuses);
        return -1;
    }
    return 0;
}

int moduleTraverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = stateOf(module);
    Py_VISIT(state->decoderType);
    Py_VISIT(state->samplesType);
    return 0;
}

int moduleClear(PyObject* module) {
    ModuleState* state = stateOf(module);
    Py_CLEAR(state->decoderType);
    Py_CLEAR(state->samplesType);
    return 0;
}

void moduleFree(void* module) { moduleClear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execModule)},
    {0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT, "_recording", "A recording's bytes into arrays, for quillmore.recording.",
    sizeof(ModuleState), moduleMethods, slots, moduleTraverse, moduleClear, moduleFree,
};

}  // namespace

PyMODINIT_FUNC PyInit__recording(void) { return PyModuleDef_Init(&moduleDef); }
