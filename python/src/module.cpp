// vdwflow._core: the lean solver vdwflow as a Python extension. The state,
// kernels, start-up, snapshots and checkpoint are the program's own (the
// vdwflow_host library and device.cu); this file holds what a run in an
// interpreter needs beyond them:
//   - failures become Python exceptions with the program's messages: the
//     reporters end a run through end_run, whose hook here throws; what the
//     library printed meanwhile is captured and becomes the message;
//   - the solver's state is global (one run configuration, one device
//     state), so one simulation is resident at a time: opening or using
//     another moves the resident one's whole state to host memory, from
//     which it comes back exactly when it is used again;
//   - steps run without the GIL, and Ctrl-C ends a step() between two steps.
#include <fcntl.h>
#include <unistd.h>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "checkpoint.h"
#include "device_errors.h"
#include "device_mirror.h"
#include "initial_state.h"
#include "lean_session.h"
#include "lean_state.h"
#include "param_reader.h"
#include "reporters.h"
#include "run_checks.h"
#include "run_config.h"
#include "setup.h"
#include "snapshot.h"
#include "startup.h"
#include "vdw_thermo.h"

namespace nb = nanobind;

namespace {

// ---------------------------------------------------------------------------
// Failures

// What end_run throws here: the library's code stops where the program
// would have exited, and the call that entered it turns this into a Python
// exception.
struct run_ended {
    int status;
};

[[noreturn]] void throw_run_ended(int status)
{
    throw run_ended{status};
}

// Standard output and standard error of the library during one call, each
// into a temporary file; restored when the call is over.
class captured_output {
public:
    captured_output()
    {
        std::fflush(nullptr);
        for (int k = 0; k < 2; k++) {
            file_[k] = std::tmpfile();
            saved_[k] = file_[k] ? ::dup(k + 1) : -1;
            if (saved_[k] >= 0) ::dup2(::fileno(file_[k]), k + 1);
        }
    }
    ~captured_output()
    {
        restore();
        for (FILE *f : file_)
            if (f) std::fclose(f);
    }
    captured_output(const captured_output &) = delete;
    captured_output &operator=(const captured_output &) = delete;

    // What went to standard output (k = 0) or error (k = 1), trailing
    // newlines removed.
    std::string text(int k)
    {
        restore();
        std::string t;
        if (!file_[k]) return t;
        std::rewind(file_[k]);
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_[k])) > 0) t.append(buffer, n);
        while (!t.empty() && t.back() == '\n') t.pop_back();
        return t;
    }

private:
    void restore()
    {
        if (restored_) return;
        restored_ = true;
        std::fflush(nullptr);
        for (int k = 0; k < 2; k++)
            if (saved_[k] >= 0) {
                ::dup2(saved_[k], k + 1);
                ::close(saved_[k]);
            }
    }
    FILE *file_[2] = {nullptr, nullptr};
    int saved_[2] = {-1, -1};
    bool restored_ = false;
};

[[noreturn]] void raise(PyObject *type, const std::string &message)
{
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

// The Python exception of a run that the library ended: ValueError for a bad
// input, OSError for a file, RuntimeError for a blow-up or the device.
[[noreturn]] void raise_run_ended(const run_ended &end, captured_output &output)
{
    const run_failure kind = take_failure();
    std::string message = output.text(1);
    if (kind == run_failure::device && !last_device_error().empty())
        message = last_device_error();
    if (message.empty()) message = output.text(0);
    if (message.empty() && end.status == -1)
        message = "a key without its value at the end of the parameters";
    if (message.empty()) message = "the run ended with status " + std::to_string(end.status);
    switch (kind) {
    case run_failure::file:
        raise(PyExc_OSError, message);
    case run_failure::unstable:
    case run_failure::device:
        raise(PyExc_RuntimeError, message);
    case run_failure::input:
        break;
    }
    raise(PyExc_ValueError, message);
}

// Runs `call` with the library's output captured: what it wrote to standard
// error goes on to Python's sys.stderr, its console lines are dropped; a run
// it ends raises.
template <class Call>
void guarded(Call &&call)
{
    captured_output output;
    try {
        call();
    } catch (const run_ended &end) {
        raise_run_ended(end, output);
    }
    const std::string warnings = output.text(1);
    if (!warnings.empty())
        nb::module_::import_("sys").attr("stderr").attr("write")(warnings + "\n");
}

// The same without capturing, for the steps and the transfers of the
// fields: they print nothing (the device's reporter here keeps its message),
// and other threads may print while the steps run without the GIL.
template <class Call>
void guarded_device(Call &&call)
{
    try {
        call();
    } catch (const run_ended &) {
        take_failure();
        raise(PyExc_RuntimeError, last_device_error().empty()
                                      ? "the device failed during a step"
                                      : last_device_error());
    }
}

// ---------------------------------------------------------------------------
// Simulations

using array2 = nb::ndarray<nb::numpy, double, nb::ndim<2>, nb::c_contig>;
using array3 = nb::ndarray<nb::numpy, double, nb::ndim<3>, nb::c_contig>;
using input2 = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// A new array that owns its values.
template <class Array>
Array owned_array(std::initializer_list<size_t> shape, double **data)
{
    size_t count = 1;
    for (size_t n : shape) count *= n;
    double *values = new double[count];
    nb::capsule owner(values, [](void *p) noexcept { delete[] static_cast<double *>(p); });
    *data = values;
    return Array(values, shape, owner);
}

class simulation;
simulation *resident = nullptr;  // the one whose state the globals hold
std::mutex busy;                 // one call into the library at a time

class simulation {
public:
    // A run of the parameters `text` (a parameter file's content; `name`
    // names it in messages), its snapshots written into `folder` ("" or a
    // path ending in '/'), from its setup's initial state, from `density`
    // (the bytes of a .npy file) with the velocity (vx, vy) if given, or
    // from the checkpoint file `checkpoint` if not empty.
    simulation(std::string text, std::string name, std::string folder, nb::object density,
               nb::object vx, nb::object vy, std::string checkpoint)
        : text_(std::move(text)), name_(std::move(name)), folder_(std::move(folder))
    {
        const std::unique_lock<std::mutex> lock = hold();
        evict_resident();
        std::vector<double> ux, uy;
        if (!vx.is_none()) {
            ux = values_of(nb::cast<input2>(vx));
            uy = values_of(nb::cast<input2>(vy));
        }
        guarded([&] {
            try {
                read_parameters();
                read_lean_setup(name_.c_str(), !checkpoint.empty());
                if (!density.is_none()) {
                    const nb::bytes npy = nb::cast<nb::bytes>(density);
                    set_initial_density(reinterpret_cast<const unsigned char *>(npy.c_str()),
                                        npy.size(), "density");
                }
                set_snapshot_folder(folder_.c_str());
                host_allocation();
                if (!checkpoint.empty()) {
                    int step = 0;
                    read_checkpoint_file(checkpoint.c_str(), name_.c_str(), hgf, &step, INT_MAX);
                    init_velocity_set();
                    hniter = step;
                } else {
                    // The noisy start draws as a fresh process does: from
                    // drand48's initial state, whatever was drawn before.
                    unsigned short fresh[3] = {0, 0, 0};  // (glibc: X = 0 until seeded)
                    seed48(fresh);
                    init_lean_lattice();
                    if (!ux.empty()) {
                        check_speeds(ux, uy);
                        set_initial_velocity(ux.data(), uy.data());
                    }
                    lean_resolve_gravity_reference();
                    hniter = hlast_iter;
                }
                lean_collection().clear();
                lean_allocation();
                lean_upload();
                char *tag = make_run_tag();
                tag_ = tag;
                std::free(tag);
            } catch (const run_ended &) {
                release_globals();
                throw;
            }
        });
        resident = this;
        resident_ = true;
        open_ = true;
    }

    ~simulation() { close(); }

    void close()
    {
        if (!open_) return;
        const std::unique_lock<std::mutex> lock(busy);
        open_ = false;
        if (resident_) {
            captured_output quiet;
            try {
                release_globals();
            } catch (const run_ended &) {
                // (a device that fails to free its memory: nothing left to do)
            }
            resident_ = false;
            resident = nullptr;
        }
        saved_ = state{};
    }

    // `count` steps without the GIL; Ctrl-C ends them between two steps,
    // the steps done counted. Then the check that the run is sound.
    void step(long long count)
    {
        if (count < 0) raise(PyExc_ValueError, "the number of steps is negative");
        const std::unique_lock<std::mutex> lock = hold();
        make_resident();
        if (count > INT_MAX - static_cast<long long>(hniter))
            raise(PyExc_ValueError, "the step count would pass " + std::to_string(INT_MAX) +
                                        ", the program's largest snapshot label");
        bool interrupted = false;
        guarded_device([&] {
            using clock = std::chrono::steady_clock;
            nb::gil_scoped_release unlocked;
            clock::time_point checked = clock::now();
            for (long long s = 0; s < count; s++) {
                lean_steps(1);
                hniter++;
                stepped_ = true;
                if (clock::now() - checked > std::chrono::milliseconds(100)) {
                    nb::gil_scoped_acquire locked;
                    if (PyErr_CheckSignals() != 0) {
                        interrupted = true;
                        break;
                    }
                    checked = clock::now();
                }
            }
        });
        if (interrupted) throw nb::python_error();
        // (as a snapshot checks it: the total density of the density a
        // snapshot would show)
        guarded([] { lean_density_to_host(); });
        lean_clear_solid_density();
        if (!std::isfinite(lean_snapshot_total()))
            raise(PyExc_RuntimeError, "the run became unstable at iteration " +
                                          std::to_string(hniter) +
                                          ": total density is not finite");
    }

    array2 density()
    {
        const std::unique_lock<std::mutex> lock = hold();
        make_resident();
        double *out;
        array2 a = owned_array<array2>({size_t(hnodes_y), size_t(hnodes_x)}, &out);
        guarded_device([&] { lean_density_to(out); });
        clear_solid(out, 1);
        return a;
    }

    array3 velocity()
    {
        const std::unique_lock<std::mutex> lock = hold();
        make_resident();
        double *out;
        array3 a = owned_array<array3>({size_t(hnodes_y), size_t(hnodes_x), 2}, &out);
        if (stepped_) {
            guarded_device([&] { lean_velocity_to(out); });
            clear_solid(out, 2);
            return a;
        }
        // (before the first step: from the distributions on the host, as the
        // program's first snapshot has it)
        double *ux = hgf + static_cast<long long>(hkux) * hnodes;
        double *uy = hgf + static_cast<long long>(hkuy) * hnodes;
        double *scratch = hgf + static_cast<long long>(hkpid) * hnodes;
        guarded_device([&] {
            lean_density_to_host();
            lean_clear_solid_density();
            lean_snapshot_velocity(ux, uy, scratch, false);
        });
        for (int p = 0; p < hnodes; p++) {
            out[2 * p] = ux[p];
            out[2 * p + 1] = uy[p];
        }
        return a;
    }

    array2 pressure()
    {
        const std::unique_lock<std::mutex> lock = hold();
        make_resident();
        double *out;
        array2 a = owned_array<array2>({size_t(hnodes_y), size_t(hnodes_x)}, &out);
        guarded_device([&] { lean_density_to(out); });
        const vdw::Fluid fluid{htfluid, htcritical};
        for (int p = 0; p < hnodes; p++) out[p] = fluid.pressure(out[p]);
        clear_solid(out, 1);
        return a;
    }

    double total_density()
    {
        const std::unique_lock<std::mutex> lock = hold();
        make_resident();
        guarded([] { lean_density_to_host(); });
        lean_clear_solid_density();
        return lean_snapshot_total();
    }

    void write_snapshot()
    {
        const std::unique_lock<std::mutex> lock = hold();
        make_resident();
        guarded([&] {
            lean_density_to_host();
            lean_write_snapshot(tag_.c_str(), stepped_);
        });
    }

    void save_checkpoint(const std::string &path)
    {
        const std::unique_lock<std::mutex> lock = hold();
        make_resident();
        guarded([&] { lean_write_checkpoint(path.c_str()); });
    }

    int step_count() const { return resident_ ? hniter : saved_.step; }
    const std::string &tag() const { return tag_; }
    bool is_open() const { return open_; }
    bool is_resident() const { return resident_; }

private:
    // The state of a simulation that is not resident: everything the globals
    // and the device held, to put back as it was.
    struct state {
        int step = 0;
        lean_setup setup;
        std::vector<unsigned char> solid;
        std::vector<double> host_slots;    // slots 0 .. hkn of hgf
        std::vector<double> device_state;  // both levels
        int current = 0;
        std::vector<vti::entry> collection;
    };

    std::unique_lock<std::mutex> hold()
    {
        std::unique_lock<std::mutex> lock(busy, std::try_to_lock);
        if (!lock.owns_lock())
            raise(PyExc_RuntimeError,
                  "vdwflow is busy with a call from another thread (one call at a time)");
        return lock;
    }

    // An initial velocity below the speed of sound everywhere (the
    // equilibria of the lattice hold only there).
    static void check_speeds(const std::vector<double> &ux, const std::vector<double> &uy)
    {
        const double sound = std::sqrt(hchic2);
        for (int p = 0; p < hnodes; p++) {
            const double speed = std::hypot(ux[p], uy[p]);
            if (!(speed < sound)) {
                std::fprintf(stderr,
                             "velocity: |u| = %g at node (%d, %d) (x, y) is not below the speed "
                             "of sound %g (sqrt(T))\n",
                             speed, p % hnodes_x, p / hnodes_x, sound);
                end_run(1);
            }
        }
    }

    // Solid nodes show 0: `per_node` values each.
    static void clear_solid(double *values, int per_node)
    {
        if (hsolid_nodes.empty()) return;
        for (int p = 0; p < hnodes; p++)
            if (hsolid_nodes[static_cast<size_t>(p)])
                for (int k = 0; k < per_node; k++) values[per_node * p + k] = 0.0;
    }

    static std::vector<double> values_of(const input2 &a)
    {
        const double *p = a.data();
        return std::vector<double>(p, p + a.size());
    }

    // The parameters into the table, the run configuration derived and
    // checked, as the program reads its parameter file.
    void read_parameters()
    {
        clear_parameters();
        set_parameter_limits(LEAN_MAX_PARAMS, LEAN_TOKEN_SIZE);
        const std::string text = text_.empty() ? std::string(" ") : text_;
        std::unique_ptr<FILE, int (*)(FILE *)> file(
            fmemopen(const_cast<char *>(text.data()), text.size(), "r"), &std::fclose);
        if (!file) raise(PyExc_MemoryError, "no memory for the parameters");
        read_parameter_stream(file.get(), name_.c_str());
        derive_run_configuration();
        check_run_configuration(name_.c_str());
    }

    // Frees what the globals hold (host arrays, device state); nothing of a
    // half-made run is left behind.
    static void release_globals()
    {
        lean_free();
        host_free();
    }

    static void evict_resident()
    {
        if (resident) resident->save();
    }

    void save()
    {
        guarded([&] {
            saved_.step = hniter;
            saved_.setup = hsetup;
            saved_.solid = hsolid_nodes;
            saved_.host_slots.assign(hgf, hgf + static_cast<long long>(hkn + 1) * hnodes);
            saved_.device_state.resize(lean_state_values());
            lean_save_state(saved_.device_state.data());
            saved_.current = hlean_current;
            saved_.collection = lean_collection();
            release_globals();
        });
        resident_ = false;
        resident = nullptr;
    }

    // Back on the device as it was when another simulation took its place.
    void make_resident()
    {
        if (resident_) return;
        if (!open_) raise(PyExc_RuntimeError, "this Simulation is closed");
        evict_resident();
        guarded([&] {
            try {
                read_parameters();
                hsetup = saved_.setup;
                hsolid_nodes = saved_.solid;
                hinit_density.clear();
                set_snapshot_folder(folder_.c_str());
                host_allocation();
                std::memcpy(hgf, saved_.host_slots.data(),
                            sizeof(double) * saved_.host_slots.size());
                init_velocity_set();
                hniter = saved_.step;
                lean_allocation();
                lean_upload_constants();
                lean_restore_state(saved_.device_state.data(), saved_.current);
                lean_collection() = saved_.collection;
            } catch (const run_ended &) {
                release_globals();
                throw;
            }
        });
        saved_ = state{};
        resident = this;
        resident_ = true;
    }

    std::string text_, name_, folder_, tag_;
    bool open_ = false, resident_ = false;
    bool stepped_ = false;  // a step since the initial state or checkpoint
    state saved_;
};

}  // namespace

NB_MODULE(_core, m)
{
    end_run_hook = throw_run_ended;
    m.doc() = "The lean solver vdwflow in this process (use the vdwflow package).";

    nb::class_<simulation>(m, "Core")
        .def(nb::init<std::string, std::string, std::string, nb::object, nb::object, nb::object,
                      std::string>(),
             nb::arg("text"), nb::arg("name"), nb::arg("folder"), nb::arg("density").none(),
             nb::arg("velocity_x").none(), nb::arg("velocity_y").none(), nb::arg("checkpoint"))
        .def("step", &simulation::step, nb::arg("count"))
        .def("density", &simulation::density)
        .def("velocity", &simulation::velocity)
        .def("pressure", &simulation::pressure)
        .def("total_density", &simulation::total_density)
        .def("write_snapshot", &simulation::write_snapshot)
        .def("save_checkpoint", &simulation::save_checkpoint, nb::arg("path"))
        .def("close", &simulation::close)
        .def_prop_ro("step_count", &simulation::step_count)
        .def_prop_ro("tag", &simulation::tag)
        .def_prop_ro("is_open", &simulation::is_open)
        .def_prop_ro("is_resident", &simulation::is_resident);
}
