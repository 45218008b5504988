// The `velto` Python module: a listing's contents and values straight into numpy and pandas,
// read by the same reader and extraction as the spreadsheets.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/encoding.h"
#include "common/error.h"
#include "extract/export/excelfile.h"
#include "extract/export/savecommand.h"
#include "extract/export/summary.h"
#include "extract/export/timeselection.h"
#include "extract/export/variablecatalogue.h"
#include "extract/session/extractsession.h"

namespace py = pybind11;

namespace velto {
namespace {

// Raised for a listing that cannot be read; carries the message the window would show.
class ListingError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Keeps the first message a reading shows: a script is told through an exception instead.
class FirstMessage final : public MessageSink {
  public:
    void ShowMessage(std::string_view text, MessageIcon, std::string_view) override {
        if (!text_) {
            text_ = Cp1252ToUtf8(text);
        }
    }
    const std::optional<std::string>& text() const { return text_; }

  private:
    std::optional<std::string> text_;
};

// Lets Ctrl+C reach a long reading: at each time read, Python is asked (holding its lock for that
// moment only) whether a signal came, and the reading is stopped when one did.
class InterruptibleReading final : public ProgressSink {
  public:
    explicit InterruptibleReading(Catalogue& catalogue) : catalogue_(catalogue) {}
    void UpdateProgress(Single, std::string_view) override {
        py::gil_scoped_acquire locked;
        if (!interrupted_ && PyErr_CheckSignals() != 0) {
            interrupted_ = true;
            catalogue_.AbortSave = true;
        }
    }
    bool interrupted() const { return interrupted_; }

  private:
    Catalogue& catalogue_;
    bool interrupted_ = false;
};

constexpr const char* kModuleDoc = R"(Velto result listings in Python.

    lst = velto.open("beam1.out")
    lst.times                                    # numpy float32, one per result time
    lst.variables                                # {"Displacements": ["DOF1", ...], ...}
    lst.values("Displacements", "DOF2", items=range(1, 256))   # float32 (times, items)
    lst.frame("Temperature", items=[12, 37])     # pandas DataFrame indexed by "Time"

The values are the very singles the spreadsheets of velto-extract hold. A listing that cannot be
read raises velto.ListingError with the message the tools show; a choice the listing does not
offer raises ValueError with the reason velto-extract gives.)";

class Listing {
  public:
    explicit Listing(const std::string& path) {
        NullProgress progress;
        FirstMessage messages;
        {
            py::gil_scoped_release unlocked;
            ExtractSession session(progress, messages);
            session.Open(path);
            catalogue_ = session.catalogue();
            offered_ = session.variables();
            recognised_ = session.Recognised();
        }
        if (messages.text()) {
            throw ListingError(*messages.text());
        }
        if (!recognised_) {
            throw ListingError(FileNameToUtf8(path) + " is not a Velto listing");
        }
    }

    // The name as the file system has it, as Python gives such names (os.fsdecode): one that is
    // not UTF-8 still names the file.
    py::object path() const {
        return py::module_::import("os").attr("fsdecode")(py::bytes(catalogue_.ListingFile));
    }
    std::string shownPath() const { return FileNameToUtf8(catalogue_.ListingFile); }
    std::string version() const { return Cp1252ToUtf8(catalogue_.Version); }
    std::string analysis() const { return SummaryLines(catalogue_)[1].Value; }
    int ndim() const { return catalogue_.Ndim; }

    py::dict counts() const {
        py::dict counts;
        counts["nodes"] = catalogue_.NodeCount;
        counts["solids"] = catalogue_.SolidCount;
        counts["trusses"] = catalogue_.TrussCount;
        counts["beams"] = catalogue_.BeamCount;
        counts["shells"] = catalogue_.ShellCount;
        counts["soils"] = catalogue_.SoilCount;
        counts["fibers"] = catalogue_.FiberCount;
        return counts;
    }

    py::array_t<float> times() const {
        py::array_t<float> times(static_cast<py::ssize_t>(catalogue_.Times.size()));
        auto out = times.mutable_unchecked<1>();
        for (std::size_t i = 0; i < catalogue_.Times.size(); ++i) {
            out(static_cast<py::ssize_t>(i)) = catalogue_.Times[i].Time;
        }
        return times;
    }

    py::dict variables() const {
        py::dict variables;
        for (const OfferedVariable& v : offered_) {
            py::list vectors;
            for (const std::string& vector : v.Vectors) {
                vectors.append(Cp1252ToUtf8(vector));
            }
            variables[py::str(Cp1252ToUtf8(v.Name))] = vectors;
        }
        return variables;
    }

    // The chosen values as (times, items) singles, with the times and the items' column names.
    struct Values {
        py::array_t<float> values;
        std::vector<float> times;
        std::vector<std::string> columns;
    };

    Values Read(const std::string& variable, const std::optional<std::string>& vector,
                const py::object& items, const py::object& records) {
        // A NUL would end the reason given back at it, not the name.
        if (variable.find('\0') != std::string::npos ||
            vector.value_or("").find('\0') != std::string::npos) {
            throw py::value_error("embedded null byte");
        }
        const Choice choice = Choose(variable, vector.value_or(""), items, records);
        FirstMessage messages;
        SaveResult result;
        ValueTable table;
        bool interrupted = false;
        {
            py::gil_scoped_release unlocked;
            // One reading at a time per listing: its catalogue holds the reading's choices.
            std::lock_guard<std::mutex> lock(reading_);
            InterruptibleReading progress(catalogue_);
            result = ExtractItems(catalogue_, choice.variable, choice.component, choice.items,
                                  choice.times, progress, messages);
            interrupted = progress.interrupted();
            table = std::move(catalogue_.ExtractedValues);
            catalogue_.ExtractedValues = ValueTable();
        }
        if (interrupted) {
            throw py::error_already_set();  // KeyboardInterrupt, or what the handler raised
        }
        if (messages.text()) {
            if (*messages.text() ==
                std::to_string(kOutOfMemory) + ": " + ErrorDescription(kOutOfMemory)) {
                throw std::bad_alloc();  // a selection too large to hold, not a listing at fault
            }
            throw ListingError(*messages.text());
        }
        if (result.outcome != SaveOutcome::Extracted) {
            throw std::invalid_argument(result.problem.empty() ? "nothing could be read"
                                                               : result.problem);
        }
        Values out;
        const auto rows = static_cast<py::ssize_t>(choice.times.size());
        const auto columns = static_cast<py::ssize_t>(choice.items.size());
        out.values = py::array_t<float>({rows, columns});
        // Where each asked item stands among the items held (ascending, each once), found once.
        const std::vector<Long>& held = table.Held();
        std::vector<std::size_t> places;
        for (const Long item : choice.items) {
            const auto place = std::lower_bound(held.begin(), held.end(), item);
            if (place == held.end() || *place != item) {
                throw ListingError("item " + std::to_string(item) + " was not read");
            }
            places.push_back(static_cast<std::size_t>(place - held.begin()));
        }
        auto cells = out.values.mutable_unchecked<2>();
        for (py::ssize_t t = 0; t < rows; ++t) {
            const std::span<Single> row = table.Row(static_cast<Integer>(t + 1));
            for (py::ssize_t i = 0; i < columns; ++i) {
                cells(t, i) = row[places[static_cast<std::size_t>(i)]];
            }
        }
        for (const Integer record : choice.times) {
            out.times.push_back(catalogue_.Times[static_cast<std::size_t>(record - 1)].Time);
        }
        for (const Long item : choice.items) {
            out.columns.push_back(choice.itemWord + " " + std::to_string(item));
        }
        return out;
    }

  private:
    struct Choice {
        std::string variable;
        int component = 0;
        std::vector<Long> items;
        std::vector<Integer> times;
        std::string itemWord;
    };

    // Checks a choice as velto-extract checks its options, with the same reasons.
    Choice Choose(const std::string& variable, const std::string& vector, const py::object& items,
                  const py::object& records) const {
        const NamedChoice named = ChooseByName(offered_, variable, vector);
        if (!named.problem.empty()) {
            throw std::invalid_argument(named.problem);
        }
        const OfferedVariable& offered = offered_[static_cast<std::size_t>(named.variable)];
        Choice choice;
        choice.variable = offered.Name;
        choice.component = named.vector;
        choice.itemWord = offered.ItemWord;
        if (!offered.Limit) {
            // The eigen value: one value a time, no range to choose from.
            choice.items = {1};
            auto refuse = [&](long long item) {
                if (item != 1) {
                    throw std::invalid_argument("\"" + variable + "\" has no items to choose");
                }
            };
            if (!items.is_none() && Numbers(items, 1, 1, refuse) != 1) {
                refuse(0);
            }
        } else if (items.is_none()) {
            choice.items.resize(static_cast<std::size_t>(std::max<Long>(*offered.Limit, 0)));
            for (std::size_t i = 0; i < choice.items.size(); ++i) {
                choice.items[i] = static_cast<Long>(i + 1);
            }
        } else {
            Numbers(items, 1, *offered.Limit, [&](long long item) {
                if (item < 1 || item > *offered.Limit) {
                    throw std::invalid_argument(
                        "item " + std::to_string(item) + " does not lie in 1.." +
                        std::to_string(*offered.Limit) + " (" + offered.RangeCaption + ")");
                }
                choice.items.push_back(static_cast<Long>(item));
            });
        }
        const auto count = static_cast<long long>(catalogue_.Times.size());
        if (records.is_none()) {
            for (long long r = 1; r <= count; ++r) {
                choice.times.push_back(static_cast<Integer>(r));
            }
        } else {
            Numbers(records, 1, count, [&](long long record) {
                if (record < 1 || record > count) {
                    throw std::invalid_argument(NoSuchTimeProblem(count, record));
                }
                choice.times.push_back(static_cast<Integer>(record));
            });
        }
        if (choice.times.empty()) {
            throw std::invalid_argument("no time is selected");
        }
        if (choice.items.empty()) {
            throw std::invalid_argument("no item is chosen");
        }
        return choice;
    }

    // Hands each whole number of `numbers` (any iterable) to `take`, which checks it, and returns
    // how many there were. A range is checked at its ends first, so that a huge one is refused
    // before it is gone through; Ctrl+C is heard while a long one is.
    template <typename Take>
    static std::size_t Numbers(const py::object& numbers, long long low, long long high,
                               Take&& take) {
        if (py::isinstance<py::str>(numbers) || py::isinstance<py::bytes>(numbers)) {
            throw py::type_error("items and times are sequences of whole numbers");
        }
        if (py::isinstance(numbers, py::module_::import("builtins").attr("range")) &&
            py::len(numbers) > 0) {
            for (const long long end :
                 {Whole(numbers[py::int_(0)]), Whole(numbers[py::int_(-1)])}) {
                if (end < low || end > high) {
                    take(end);
                }
            }
        }
        std::size_t count = 0;
        for (const py::handle number : numbers) {
            if (++count % 65536 == 0 && PyErr_CheckSignals() != 0) {
                throw py::error_already_set();
            }
            take(Whole(number));
        }
        return count;
    }

    // A whole number given as an item or a time: an int (numpy's too), not a bool (numpy's
    // neither: a mask is not a list of numbers) or a float.
    static long long Whole(const py::handle number) {
        const std::string_view type = Py_TYPE(number.ptr())->tp_name;
        if (py::isinstance<py::bool_>(number) || type == "numpy.bool_" || type == "numpy.bool" ||
            !PyIndex_Check(number.ptr())) {
            throw py::type_error("items and times are whole numbers, not " +
                                 std::string(py::str(py::type::of(number).attr("__name__"))));
        }
        const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(number.ptr()));
        if (!index) {
            throw py::error_already_set();
        }
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (overflow != 0) {
            throw py::value_error(std::string(py::str(index)) + " is no item or time number");
        }
        return value;
    }

    Catalogue catalogue_;
    std::vector<OfferedVariable> offered_;
    bool recognised_ = false;
    std::mutex reading_;
};

}  // namespace
}  // namespace velto

PYBIND11_MODULE(velto, m) {
    using velto::Listing;
    m.doc() = velto::kModuleDoc;
    static py::exception<velto::ListingError> listingError(m, "ListingError", PyExc_Exception);
    listingError.doc() = "A listing could not be read; the text is the message the tools show.";
    py::register_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised) {
                std::rethrow_exception(raised);
            }
        } catch (const velto::ListingError& error) {
            listingError(error.what());
        }
    });

    m.attr("__version__") = VELTO_VERSION;
    py::class_<Listing> listing(m, "Listing", "An opened Velto result listing (see velto.open).");
    // Only velto.open makes a Listing: one made by Listing.__new__ would hold nothing to read.
    reinterpret_cast<PyTypeObject*>(listing.ptr())->tp_new = [](PyTypeObject*, PyObject*,
                                                                PyObject*) -> PyObject* {
        PyErr_SetString(PyExc_TypeError, "velto.Listing objects are made by velto.open");
        return nullptr;
    };
    PyType_Modified(reinterpret_cast<PyTypeObject*>(listing.ptr()));
    listing.def_property_readonly("path", &Listing::path, "The listing's file name.")
        .def_property_readonly("version", &Listing::version,
                               "The solver version that wrote it, e.g. \"2026.1\".")
        .def_property_readonly("analysis", &Listing::analysis,
                               "\"Temperature\", \"Structural\" or \"Dynamical\".")
        .def_property_readonly("ndim", &Listing::ndim, "2 for a plane model, 3 for a spatial one.")
        .def_property_readonly("counts", &Listing::counts,
                               "The model's size: nodes, solids, trusses, beams, shells, soils "
                               "and fibers.")
        .def_property_readonly("times", &Listing::times,
                               "The result times in listing order, as a numpy float32 array.")
        .def_property_readonly("variables", &Listing::variables,
                               "The variables the listing offers, each with its vectors (an empty "
                               "list for a variable without vectors).")
        .def(
            "values",
            [](Listing& self, const std::string& variable, std::optional<std::string> vector,
               const py::object& items, const py::object& times) {
                return self.Read(variable, vector, items, times).values;
            },
            py::arg("variable"), py::arg("vector") = py::none(), py::arg("items") = py::none(),
            py::arg("times") = py::none(),
            R"(The values of a variable as a numpy float32 array of shape (times, items).

variable: a name from `variables`; vector: one of its vectors (the first when None).
items: 1-based node, element or fibre numbers, any sequence (all when None).
times: 1-based time records, any sequence (all when None).
Raises ValueError for a choice the listing does not offer, velto.ListingError when the listing
cannot be read.)")
        .def(
            "frame",
            [](Listing& self, const std::string& variable, std::optional<std::string> vector,
               const py::object& items, const py::object& times) {
                Listing::Values read = self.Read(variable, vector, items, times);
                py::module_ pandas = py::module_::import("pandas");
                // The times as the spreadsheets store them: 0.1, not the single widened.
                std::vector<double> stored;
                for (const float time : read.times) {
                    stored.push_back(velto::StoredDouble(time));
                }
                py::array_t<double> index(static_cast<py::ssize_t>(stored.size()), stored.data());
                return pandas.attr("DataFrame")(
                    read.values,
                    py::arg("index") = pandas.attr("Index")(index, py::arg("name") = "Time"),
                    py::arg("columns") = read.columns);
            },
            py::arg("variable"), py::arg("vector") = py::none(), py::arg("items") = py::none(),
            py::arg("times") = py::none(),
            R"(The values as a pandas DataFrame: index "Time", a column per item ("Node 12").

Arguments as for values().)")
        .def("__repr__", [](const Listing& self) {
            return "<velto.Listing " + self.shownPath() + ": " + self.analysis() + ", " +
                   std::to_string(py::len(self.times())) + " times>";
        });

    m.def(
        "open",
        [](const py::object& path) {
            // Any path Python takes (str, bytes, pathlib), names that are not UTF-8 included.
            py::module_ os = py::module_::import("os");
            std::string name = py::bytes(os.attr("fsencode")(path));
            if (name.find('\0') != std::string::npos) {
                throw py::value_error("embedded null byte");
            }
            // Named from the folder it was opened in: a later os.chdir must not make the listing
            // another file, or none.
            if (!name.empty() && name.front() != '/') {
                name = std::string(py::bytes(os.attr("getcwdb")())) + "/" + name;
            }
            return std::make_unique<Listing>(name);
        },
        py::arg("path"),
        R"(Opens a result listing (*.out) and reads what it holds: one scan of the file.

Raises velto.ListingError carrying the message the tools show, e.g.
"Read File Error 62: Input past end of file".)");
}
