#include "extract/export/sheetwriter.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "common/atomicsave.h"
#include "common/encoding.h"
#include "common/error.h"
#include "common/hugeroom.h"
#include "extract/export/excelfile.h"
#include "extract/export/singletext.h"

namespace velto {

void SheetWriter::ListingSingle(long row, long col, float value) {
    Number(row, col, StoredDouble(value));
}

void SheetWriter::ListingRow(long row, long col, std::span<const float> values) {
    for (const float value : values) {
        ListingSingle(row, col++, value);
    }
}

void SheetWriter::StartSheet(std::string_view) {
    Raise(kInvalidCall);
}

void SheetWriter::PageSettings(const PageSetup& page, long) {
    if (!page.Empty()) {
        Raise(kInvalidCall);
    }
}

namespace {

// A setup the format cannot hold is refused whole, before any of it is written.
void RequireWritable(const PageSetup& page, SheetFormat format) {
    if (!PageSetupProblem(page, format).empty()) {
        Raise(kInvalidCall);
    }
}

// The shortest text that reads back to the number, with a point whatever the locale; a number
// that is not finite overflows.
template <typename Text, typename Number>
void AppendShortest(Text& out, Number value) {
    if (!std::isfinite(value)) {
        Raise(kOverflow);
    }
    char buffer[64];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(std::string_view(buffer, static_cast<std::size_t>(written.ptr - buffer)));
}

// --- xls: the BIFF2 writer, with the cell attributes the export has always used ---------------

class BiffSheet final : public SheetWriter {
  public:
    void Open(const std::string& path, long, long) override {
        file_.CreateFile(path);
        file_.SetFont("Arial", 10, 0);
    }
    void Text(long row, long col, std::string_view text) override {
        file_.WriteValue(kTextCell, 0, 1, 0, row, col, std::string(text));
    }
    void Number(long row, long col, double value) override {
        file_.WriteValue(kNumberCell, 0, 1, 0, row, col, value);
    }
    void ListingRow(long row, long col, std::span<const float> values) override {
        stored_.clear();
        for (const float value : values) {
            stored_.push_back(StoredDouble(value));
        }
        file_.WriteNumberRow(0, 1, 0, row, col, stored_);
    }
    // The page records go between the font and the first cell, where Excel puts them. A password
    // is refused for this format (see PageSetupProblem).
    void PageSettings(const PageSetup& page, long columns) override {
        RequireWritable(page, SheetFormat::Xls);
        if (page.header) {
            file_.SetHeader(*page.header);
        }
        if (page.footer) {
            file_.SetFooter(*page.footer);
        }
        if (page.margins) {
            file_.SetMargin(ExcelFile::kLeftMargin, page.margins->left);
            file_.SetMargin(ExcelFile::kRightMargin, page.margins->right);
            file_.SetMargin(ExcelFile::kTopMargin, page.margins->top);
            file_.SetMargin(ExcelFile::kBottomMargin, page.margins->bottom);
        }
        if (page.gridLines) {
            file_.PrintGridLines(true);
        }
        if (page.columnWidth) {
            const long last = std::clamp(columns, 1L, LimitsOf(SheetFormat::Xls).columns);
            file_.SetColumnWidth(1, static_cast<int>(last), *page.columnWidth);
        }
        if (page.protect) {
            file_.ProtectSpreadsheet(true);
        }
    }
    void Close() override { file_.CloseFile(); }

  private:
    static constexpr int kNumberCell = 1;
    static constexpr int kTextCell = 2;
    ExcelFile file_;
    std::vector<double> stored_;
};

// --- csv -------------------------------------------------------------------------------------

constexpr std::size_t kRoomPerCell = 33;  // the longest shortest text, and a separator

// Text gathered for a file, printed into in place and never filled first: a row of a wide sheet
// is hundreds of kilobytes, and fresh memory is paid for by the page.
class TextBuffer {
  public:
    const char* data() const { return buffer_.get(); }
    std::size_t size() const { return size_; }
    void clear() { size_ = 0; }
    // Room for `more` bytes after the text, valid until the text next grows.
    char* Room(std::size_t more) {
        if (more > capacity_ - size_) {
            Grow(more);
        }
        return buffer_.get() + size_;
    }
    // Room for `bytes` in all, taken now.
    void Reserve(std::size_t bytes) {
        if (bytes > capacity_) {
            Grow(bytes - size_);
        }
    }
    // The text now ends at `end`, inside the room last given.
    void EndAt(const char* end) { size_ = static_cast<std::size_t>(end - buffer_.get()); }
    void append(std::string_view text) {
        if (text.empty()) {
            return;  // the buffer may not be there yet
        }
        std::memcpy(Room(text.size()), text.data(), text.size());
        size_ += text.size();
    }
    void append(std::size_t count, char c) {
        if (count == 0) {
            return;
        }
        std::memset(Room(count), c, count);
        size_ += count;
    }

  private:
    void Grow(std::size_t more) {
        if (more > std::size_t(-1) / 2 - size_) {
            throw std::bad_alloc();
        }
        const std::size_t capacity = std::max(size_ + more, 2 * capacity_);
        Buffer larger = MakeBuffer(capacity);
        if (size_ > 0) {
            std::memcpy(larger.get(), buffer_.get(), size_);
        }
        buffer_ = std::move(larger);
        capacity_ = capacity;
    }

    Buffer buffer_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Prints values as cells, a separator before each but the first, from `at`, which has
// kRoomPerCell for each: no call per cell but the printing's own. Returns the end.
char* PrintCells(char* at, std::span<const float> values) {
    if (values.empty()) {
        return at;
    }
    at = ShortestSingleText(at, values.front());
    for (const float value : values.subspan(1)) {
        *at++ = ',';
        at = ShortestSingleText(at, value);
    }
    return at;
}

bool SecondCore() {
    static const bool second = std::thread::hardware_concurrency() >= 2;
    return second;
}

// Prints the second half of a long row while the writer prints the first.
class SecondPrinter {
  public:
    SecondPrinter() {
        thread_ = std::thread([this] { Run(); });
    }
    ~SecondPrinter() {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    SecondPrinter(const SecondPrinter&) = delete;
    SecondPrinter& operator=(const SecondPrinter&) = delete;

    // The values must stay as they are until Finish.
    void Start(std::span<const float> values) {
        {
            const std::lock_guard lock(mutex_);
            job_ = values;
            pending_ = true;
        }
        changed_.notify_all();
    }
    // The cells printed; valid until the next Start. Raises what the printing failed with (no
    // room for the text): it must reach the writer, whose failure the save reports.
    std::string_view Finish() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !pending_; });
        if (failure_) {
            std::rethrow_exception(std::exchange(failure_, nullptr));
        }
        return std::string_view(text_.data(), text_.size());
    }
    // Waits for the printing under way and drops its outcome: the row failed already.
    void Settle() noexcept {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !pending_; });
        failure_ = nullptr;
    }

  private:
    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return stop_ || pending_; });
            if (stop_) {
                return;
            }
            const std::span<const float> job = job_;
            lock.unlock();
            std::exception_ptr failure;
            try {
                text_.clear();
                text_.EndAt(PrintCells(text_.Room(job.size() * kRoomPerCell), job));
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            failure_ = failure;
            pending_ = false;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::span<const float> job_;
    bool pending_ = false;
    bool stop_ = false;
    std::exception_ptr failure_;
    TextBuffer text_;
    std::thread thread_;
};

class CsvSheet final : public SheetWriter {
  public:
    CsvSheet() = default;
    // Lines onto a stream that stays the caller's: Open takes no file of its own.
    explicit CsvSheet(int stream) : stream_(stream) {}
    ~CsvSheet() override {
        if (file_ != nullptr) {
            writeback_.Finish();
            std::fclose(file_);
        }
    }
    void Open(const std::string& path, long rows, long columns) override {
        if (file_ != nullptr) {
            Raise(kPathFileAccess);
        }
        if (stream_ < 0) {
            file_ = std::fopen(path.c_str(), "wb");
        } else if (const int own = ::fcntl(stream_, F_DUPFD_CLOEXEC, 0); own >= 0) {
            // Unbuffered: each piece of text goes out in one write, which holds whole lines
            // unless a line is longer than the text gathered at once.
            file_ = ::fdopen(own, "wb");
            if (file_ == nullptr) {
                ::close(own);
            } else {
                std::setvbuf(file_, nullptr, _IONBF, 0);
            }
        }
        if (file_ == nullptr) {
            RaiseFileError(errno);
        }
        rows_ = rows;
        columns_ = columns;
        row_ = 1;
        col_ = 0;
        out_.clear();
        // Room at once for what is gathered before it is written, a row of numbers past the
        // writing point included: a large sheet then never moves its text to larger room.
        const double cells = static_cast<double>(std::max(rows, 1L)) * std::max(columns, 1L);
        const double room = std::min(cells * kRoomPerCell, double{kFlushAt}) +
                            static_cast<double>(std::max(columns, 1L)) * kRoomPerCell;
        out_.Reserve(static_cast<std::size_t>(std::min(room, double{kMostRoomAtOnce})));
    }
    void Text(long row, long col, std::string_view text) override {
        Place(row, col);
        out_.append(CsvField(text));
        Written();
    }
    void Number(long row, long col, double value) override {
        Place(row, col);
        AppendShortest(out_, value);
        Written();
    }
    void ListingSingle(long row, long col, float value) override {
        Place(row, col);
        if (!std::isfinite(value)) {
            Raise(kOverflow);
        }
        char buffer[32];
        out_.append(std::string_view(
            buffer, static_cast<std::size_t>(ShortestSingleText(buffer, value) - buffer)));
        Written();
    }
    void ListingRow(long row, long col, std::span<const float> values) override {
        if (values.empty()) {
            return;
        }
        if (col + static_cast<long>(values.size()) - 1 > columns_) {
            Raise(kSubscriptOutOfRange);
        }
        for (const float value : values) {
            if (!std::isfinite(value)) {
                Raise(kOverflow);
            }
        }
        Place(row, col);
        // A long row is printed in two halves at once, the second on a thread of its own: the
        // printing of a large sheet would otherwise keep the export waiting after its reading.
        const std::size_t half = values.size() >= kCellsWorthASecondThread && SecondCore()
                                     ? values.size() / 2
                                     : values.size();
        if (half < values.size()) {
            if (!second_) {
                second_ = std::make_unique<SecondPrinter>();
            }
            second_->Start(values.subspan(half));
        }
        // Room for every cell, each with its separator, the second half's included. A failure
        // here waits for the second half: nothing may read the values once the row has failed.
        char* at = nullptr;
        try {
            at = PrintCells(out_.Room(values.size() * kRoomPerCell), values.first(half));
        } catch (...) {
            if (half < values.size()) {
                second_->Settle();
            }
            throw;
        }
        if (half < values.size()) {
            const std::string_view rest = second_->Finish();
            *at++ = ',';
            std::memcpy(at, rest.data(), rest.size());
            at += rest.size();
        }
        out_.EndAt(at);
        col_ = col + static_cast<long>(values.size()) - 1;
        Written();
    }
    void Close() override {
        RequireOpen();
        while (row_ <= rows_) {
            EndLine();
        }
        Flush();
        int error = 0;
        errno = 0;
        if (std::fflush(file_) != 0 || std::ferror(file_) != 0) {
            error = errno != 0 ? errno : EIO;
        }
        if (const int synced = writeback_.Finish(); error == 0) {
            error = synced;
        }
        errno = 0;
        if (std::fclose(std::exchange(file_, nullptr)) != 0 && error == 0) {
            error = errno != 0 ? errno : EIO;
        }
        if (error != 0) {
            RaiseFileError(error);
        }
    }

  private:
    // The text is gathered and written in large pieces: a sheet of millions of cells must not
    // cost a library call per cell.
    static constexpr std::size_t kFlushAt = 1 << 20;
    static constexpr std::size_t kCellsWorthASecondThread = 4096;
    // More than this is taken only as a row needs it.
    static constexpr std::size_t kMostRoomAtOnce = std::size_t{64} << 20;

    void RequireOpen() const {
        if (file_ == nullptr) {
            Raise(kPathFileAccess);
        }
    }
    void Flush() {
        if (out_.size() == 0) {
            return;
        }
        errno = 0;
        if (std::fwrite(out_.data(), 1, out_.size(), file_) != out_.size()) {
            RaiseFileError(errno != 0 ? errno : EIO);
        }
        writeback_.Wrote(file_, out_.size());
        out_.clear();
    }
    void Written() {
        if (out_.size() >= kFlushAt) {
            Flush();
        }
    }
    // Lines are written as the cells come, so a cell may not go back to a place already passed.
    // Leaves the separators before the cell (with the empty fields of the cells skipped) in the
    // text.
    void Place(long row, long col) {
        RequireOpen();
        if (row < row_ || (row == row_ && col <= col_) || row > rows_ || col < 1 ||
            col > columns_) {
            Raise(kSubscriptOutOfRange);
        }
        while (row_ < row) {
            EndLine();
        }
        out_.append(static_cast<std::size_t>(col - std::max(col_, 1L)), ',');
        col_ = col;
    }
    // Every line has the sheet's full width, so each record holds the same number of fields.
    void EndLine() {
        out_.append(static_cast<std::size_t>(columns_ - std::max(col_, 1L)), ',');
        out_.append("\r\n");
        ++row_;
        col_ = 0;
        Written();
    }

    int stream_ = -1;
    std::FILE* file_ = nullptr;
    long rows_ = 0;
    long columns_ = 0;
    long row_ = 1;    // the line being written
    long col_ = 0;    // the fields of it written so far
    TextBuffer out_;  // text not yet written
    WritebackPacer writeback_;
    std::unique_ptr<SecondPrinter> second_;  // for long rows, once there is one
};

// --- xlsx through libxlsxwriter --------------------------------------------------------------

// libxlsxwriter prints numbers with printf, which follows LC_NUMERIC: under a decimal-comma
// locale (which Qt's application object switches to) it would write "20,1" into the XML. The
// writer's thread uses the C numeric conventions while a workbook is being written.
class CNumericLocale {
  public:
    CNumericLocale() {
        locale_t base = ::duplocale(LC_GLOBAL_LOCALE);
        if (base != locale_t{}) {
            c_ = ::newlocale(LC_NUMERIC_MASK, "C", base);
            if (c_ == locale_t{}) {
                ::freelocale(base);
            }
        }
        if (c_ != locale_t{}) {
            previous_ = ::uselocale(c_);
        }
    }
    ~CNumericLocale() {
        if (c_ != locale_t{}) {
            ::uselocale(previous_);
            ::freelocale(c_);
        }
    }
    CNumericLocale(const CNumericLocale&) = delete;
    CNumericLocale& operator=(const CNumericLocale&) = delete;

  private:
    locale_t c_{};
    locale_t previous_{};
};

// libxlsxwriter says what went wrong on standard error itself ("[ERROR] workbook_close(): ... while
// creating xlsx file '/proc/self/fd/5/x.xlsx'"), in words and names the user never chose, while
// the save reports the failure in its own. While the library works, the process's standard error
// stream therefore writes nowhere (glibc's stdin, stdout and stderr are variables a program may
// set). The stream is the whole process's: one library call at a time holds it.
class QuietLibrary {
  public:
    QuietLibrary() : held_(Lock()), saved_(stderr) {
        if (std::FILE* sink = Sink()) {
            stderr = sink;
        }
    }
    ~QuietLibrary() { stderr = saved_; }
    QuietLibrary(const QuietLibrary&) = delete;
    QuietLibrary& operator=(const QuietLibrary&) = delete;

  private:
    static std::mutex& Lock() {
        static std::mutex lock;
        return lock;
    }
    // A stream that takes every byte and keeps none; it needs no descriptor.
    static std::FILE* Sink() {
        static std::FILE* const sink = [] {
            cookie_io_functions_t discard{};
            discard.write = [](void*, const char*, std::size_t size) {
                return static_cast<ssize_t>(size);
            };
            return ::fopencookie(nullptr, "w", discard);
        }();
        return sink;
    }

    std::lock_guard<std::mutex> held_;
    std::FILE* saved_;
};

// libxlsxwriter does not come through every allocation of its own failing: some results it
// never checks, and after a row it could not complete it crashes on the next cell. The library
// is therefore given work only while the system has room to spare for it, far more than a few
// hundred cells take; without it the save fails as out of memory, before the library is. The
// room is asked of the system itself, as address space and commit charge (what ulimit -v and
// strict overcommit limit), not of the allocator, whose free lists say nothing of it.
constexpr std::size_t kRoomForCells = std::size_t{4} << 20;
constexpr std::size_t kRoomToPack = std::size_t{16} << 20;
constexpr long kCellsPerRoomCheck = 256;
// Each sheet's working-file buffer; a workbook of many sheets holds one for each until it is
// packed.
constexpr std::size_t kWorkingBuffer = std::size_t{1} << 18;

void RequireRoom(std::size_t bytes) {
    void* room = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (room == MAP_FAILED) {
        Raise(kOutOfMemory);
    }
    ::munmap(room, bytes);
}

// The errnos that say why a file could not be made or written: a disk that would not take it,
// or a process without a descriptor to spare.
bool IsWriteErrno(int error) {
    return error == ENOSPC || error == EDQUOT || error == EFBIG || error == EIO || error == EROFS ||
           error == EMFILE || error == ENFILE;
}

class XlsxSheet final : public SheetWriter {
  public:
    ~XlsxSheet() override {
        if (workbook_ != nullptr) {
            // Abandoned half-way: freed without writing the file. The library frees a sheet
            // without closing its working file (only writing the workbook closes it), which
            // would keep the file's descriptor, and its room on the disk, until the program
            // ends: each is closed here first.
            const QuietLibrary quiet;
            for (lxw_worksheet* sheet : sheets_) {
                if (sheet->optimize_tmpfile != nullptr) {
                    std::fclose(sheet->optimize_tmpfile);
                    sheet->optimize_tmpfile = nullptr;
                    sheet->file = nullptr;
                }
            }
            lxw_workbook_free(workbook_);
        }
    }
    void Open(const std::string& path, long, long) override {
        if (workbook_ != nullptr) {
            Raise(kPathFileAccess);
        }
        RequireRoom(kRoomForCells);
        locale_.emplace();
        // Its working files go beside the target rather than to /tmp, which may be memory: the
        // target's disk must hold the result anyway. The library removes them as it goes.
        const std::filesystem::path target(path);
        folder_ = target.has_parent_path() ? target.parent_path().string() : ".";
        lxw_workbook_options options{};
        // Rows are written out as they are completed, so a sheet of a million rows does not have
        // to be held; the cells come row by row.
        options.constant_memory = LXW_TRUE;
        options.tmpdir = folder_.data();
        options.use_zip64 = LXW_FALSE;
        {
            const QuietLibrary quiet;
            workbook_ = workbook_new_opt(path.c_str(), &options);
        }
        path_ = path;
        if (workbook_ == nullptr) {
            Raise(kOutOfMemory);
        }
    }
    void StartSheet(std::string_view name) override {
        RequireOpen();
        const std::string utf8 = Cp1252ToUtf8(name);
        RequireRoom(kRoomForCells);
        const QuietLibrary quiet;
        if (workbook_validate_sheet_name(workbook_, utf8.c_str()) != LXW_NO_ERROR) {
            Raise(kInvalidCall);
        }
        AddSheet(utf8.c_str());
    }
    void PageSettings(const PageSetup& page, long columns) override {
        RequireOpen();
        RequireWritable(page, SheetFormat::Xlsx);
        lxw_worksheet* sheet = Sheet();
        if (page.header) {
            Check(worksheet_set_header(sheet, Cp1252ToUtf8(*page.header).c_str()));
        }
        if (page.footer) {
            Check(worksheet_set_footer(sheet, Cp1252ToUtf8(*page.footer).c_str()));
        }
        if (page.margins) {
            worksheet_set_margins(sheet, page.margins->left, page.margins->right, page.margins->top,
                                  page.margins->bottom);
        }
        if (page.gridLines) {
            // Printed, and shown on the screen as a sheet shows them anyway.
            worksheet_gridlines(sheet, LXW_SHOW_ALL_GRIDLINES);
        }
        if (page.columnWidth) {
            Check(worksheet_set_column(sheet, 0, ColumnIndex(std::max(columns, 1L)),
                                       *page.columnWidth, nullptr));
        }
        if (page.protect) {
            // The library keeps the password's hash, never its text.
            worksheet_protect(sheet, page.password.empty() ? nullptr : page.password.c_str(),
                              nullptr);
        }
    }
    // An empty text leaves the cell blank: the library writes no cell for it.
    void Text(long row, long col, std::string_view text) override {
        RequireOpen();
        const std::string utf8 = Cp1252ToUtf8(text);
        BeforeCell();
        lxw_worksheet* sheet = Sheet();
        lxw_error error = LXW_NO_ERROR;
        {
            const QuietLibrary quiet;
            error = worksheet_write_string(sheet, RowIndex(row), ColumnIndex(col), utf8.c_str(),
                                           nullptr);
        }
        Check(error);
    }
    void Number(long row, long col, double value) override {
        RequireOpen();
        if (!std::isfinite(value)) {
            Raise(kOverflow);
        }
        BeforeCell();
        lxw_worksheet* sheet = Sheet();
        lxw_error error = LXW_NO_ERROR;
        {
            const QuietLibrary quiet;
            error = worksheet_write_number(sheet, RowIndex(row), ColumnIndex(col), value, nullptr);
        }
        Check(error);
    }
    // A row of a large sheet spends its time in the library: it is held once for many cells
    // rather than once a cell, and the row's own checks are made once.
    void ListingRow(long row, long col, std::span<const float> values) override {
        RequireOpen();
        if (values.empty()) {
            return;
        }
        const lxw_row_t at = RowIndex(row);
        const lxw_col_t first = ColumnIndex(col);
        ColumnIndex(col + static_cast<long>(values.size()) - 1);
        stored_.clear();
        for (const float value : values) {
            stored_.push_back(StoredDouble(value));
        }
        lxw_worksheet* sheet = Sheet();
        // The row's first cell may write out the row before it: a write that failed there stops
        // the row before its second cell, as it would cell by cell.
        std::size_t done = 0;
        while (done < stored_.size()) {
            const std::size_t count =
                done == 0
                    ? 1
                    : std::min(stored_.size() - done, static_cast<std::size_t>(kCellsPerRoomCheck));
            BeforeCells(static_cast<long>(count));
            lxw_error error = LXW_NO_ERROR;
            {
                const QuietLibrary quiet;
                for (std::size_t i = done; i < done + count && error == LXW_NO_ERROR; ++i) {
                    error = worksheet_write_number(sheet, at, static_cast<lxw_col_t>(first + i),
                                                   stored_[i], nullptr);
                }
            }
            Check(error);
            done += count;
        }
    }
    void Close() override {
        RequireOpen();
        Sheet();  // a workbook holds at least one sheet, if an empty one
        sheet_ = nullptr;
        // The rows still in the working files' buffers go to the disk first: the library packs
        // the files without looking whether they were written whole.
        for (lxw_worksheet* sheet : sheets_) {
            RequireWholeWorkingFile(sheet, true);
        }
        RequireRoom(kRoomToPack);
        std::vector<WorkingFile> files;
        for (lxw_worksheet* sheet : sheets_) {
            files.push_back(WorkingFileOf(sheet));
        }
        lxw_error error = LXW_NO_ERROR;
        int seen = 0;
        {
            const QuietLibrary quiet;
            errno = 0;
            // workbook_close frees the workbook whatever it returns.
            error = workbook_close(std::exchange(workbook_, nullptr));
            seen = errno;
        }
        sheets_.clear();
        locale_.reset();
        // Asked before the working files left open are closed: their sizes may tell.
        const int cause = error == LXW_NO_ERROR || error == LXW_ERROR_MEMORY_MALLOC_FAILED
                              ? 0
                              : WriteFailureErrno(seen, files);
        CloseLeftOpen(files);
        if (error == LXW_ERROR_MEMORY_MALLOC_FAILED) {
            Raise(kOutOfMemory);
        }
        if (error != LXW_NO_ERROR) {
            if (cause != 0) {
                RaiseFileError(cause);
            }
            Raise(kPathFileAccess);
        }
        RequireWholeParts(path_);
    }

  private:
    // A sheet's working file as it was once the sheet's cells were all given: the library may
    // have closed it since (a descriptor of that number is then another file's), or not.
    struct WorkingFile {
        int fd = -1;
        dev_t device = 0;
        ino_t inode = 0;
    };

    static WorkingFile WorkingFileOf(lxw_worksheet* sheet) {
        WorkingFile file;
        struct stat info {};
        if (sheet->optimize_tmpfile != nullptr &&
            ::fstat(::fileno(sheet->optimize_tmpfile), &info) == 0) {
            file = {::fileno(sheet->optimize_tmpfile), info.st_dev, info.st_ino};
        }
        return file;
    }

    // The descriptor still opens that very working file: an unnamed file of our private folder,
    // which nothing but this workbook opened.
    static bool StillOpen(const WorkingFile& file, struct stat* info = nullptr) {
        struct stat now {};
        return file.fd >= 0 && ::fstat(file.fd, &now) == 0 && now.st_dev == file.device &&
               now.st_ino == file.inode && now.st_nlink == 0 &&
               (info == nullptr || (*info = now, true));
    }

    // Writing the workbook closes each sheet's working file once it is packed, but leaves open
    // those of the sheets it never reached (after a failure) and of a sheet without cells; the
    // descriptor alone is closed, as the library's stream is never used again.
    static void CloseLeftOpen(const std::vector<WorkingFile>& files) {
        for (const WorkingFile& file : files) {
            if (StillOpen(file)) {
                ::close(file.fd);
            }
        }
    }

    // What a write of the library that failed met, though the library does not say: the errno it
    // left where that is a disk's, else the file-size limit where a working file reached it, else
    // a full disk where the folder's has no room left; 0 when none tells.
    int WriteFailureErrno(int seen, const std::vector<WorkingFile>& files) const {
        if (IsWriteErrno(seen)) {
            return seen;
        }
        rlimit limit{};
        if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
            for (const WorkingFile& file : files) {
                struct stat info {};
                if (StillOpen(file, &info) && static_cast<rlim_t>(info.st_size) >= limit.rlim_cur) {
                    return EFBIG;
                }
            }
            struct stat written {};
            if (::stat(path_.c_str(), &written) == 0 &&
                static_cast<rlim_t>(written.st_size) >= limit.rlim_cur) {
                return EFBIG;
            }
        }
        struct statvfs disk {};
        if (::statvfs(folder_.c_str(), &disk) == 0 &&
            (::geteuid() == 0 ? disk.f_bfree : disk.f_bavail) == 0) {
            return ENOSPC;
        }
        return 0;
    }

    // The library writes a sheet's rows to its working file without looking whether the writes
    // went through: one that failed (a full disk, the file-size limit) fails the save at once,
    // with the errno the failed write left (`seen`) where it is a disk's.
    void RequireWholeWorkingFile(lxw_worksheet* sheet, bool flush, int seen = 0) const {
        std::FILE* file = sheet->optimize_tmpfile;
        if (file == nullptr) {
            return;
        }
        if (flush) {
            errno = 0;
            if (std::fflush(file) != 0) {
                seen = errno;
            }
        }
        if (std::ferror(file) != 0) {
            const int cause = WriteFailureErrno(seen, {WorkingFileOf(sheet)});
            if (cause != 0) {
                RaiseFileError(cause);
            }
            Raise(kPathFileAccess);
        }
    }

    // The library writes each sheet to a working file before packing it, and does not check
    // those writes: under a file-size limit (ulimit -f) a sheet is cut at the limit and packed
    // as it is, a broken workbook reported as written. A part as large as the limit may have been
    // cut there, so the save fails as it does at the limit. The sizes are read from the
    // workbook's own table of contents, at its end.
    static void RequireWholeParts(const std::string& path) {
        rlimit limit{};
        if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
            return;
        }
        std::ifstream file(path, std::ios::binary | std::ios::ate);
        const std::streamoff size = file.tellg();
        constexpr std::streamoff kLongestEnd = 22 + 0xFFFF;  // the end record and its comment
        const std::streamoff from = std::max<std::streamoff>(0, size - kLongestEnd);
        std::string tail(static_cast<std::size_t>(std::max<std::streamoff>(0, size - from)), '\0');
        file.seekg(from);
        file.read(tail.data(), static_cast<std::streamsize>(tail.size()));
        auto word = [](std::string_view at, std::size_t place, int bytes) {
            std::uint64_t value = 0;
            for (int i = bytes - 1; i >= 0; --i) {
                value = value << 8 |
                        static_cast<unsigned char>(at[place + static_cast<std::size_t>(i)]);
            }
            return value;
        };
        const std::size_t end = tail.rfind(std::string_view("PK\x05\x06", 4));
        if (!file || end == std::string::npos || end + 22 > tail.size()) {
            Raise(kPathFileAccess);
        }
        const std::uint64_t entries = word(tail, end + 10, 2);
        const std::uint64_t listSize = word(tail, end + 12, 4);
        const std::uint64_t listStart = word(tail, end + 16, 4);
        std::string list(static_cast<std::size_t>(std::min<std::uint64_t>(listSize, 1 << 24)),
                         '\0');
        file.clear();
        file.seekg(static_cast<std::streamoff>(listStart));
        file.read(list.data(), static_cast<std::streamsize>(list.size()));
        std::size_t at = 0;
        for (std::uint64_t n = 0; n < entries; ++n) {
            if (!file || at + 46 > list.size() || list.compare(at, 4, "PK\x01\x02") != 0) {
                Raise(kPathFileAccess);
            }
            if (word(list, at + 24, 4) >= limit.rlim_cur) {
                RaiseFileError(EFBIG);
            }
            at += 46 + word(list, at + 28, 2) + word(list, at + 30, 2) + word(list, at + 32, 2);
        }
    }

    void RequireOpen() const {
        if (workbook_ == nullptr) {
            Raise(kPathFileAccess);
        }
    }
    // Before each cell: now and then, room for the library to go on.
    void BeforeCell() { BeforeCells(1); }
    // Before `count` cells, at most kCellsPerRoomCheck of them.
    void BeforeCells(long count) {
        cellsSinceRoomCheck_ += count;
        if (cellsSinceRoomCheck_ >= kCellsPerRoomCheck) {
            cellsSinceRoomCheck_ = 0;
            RequireRoom(kRoomForCells);
        }
    }
    // Adds a sheet (named by the library when `name` is null) and makes it the one cells go to.
    // Called with the library quiet.
    void AddSheet(const char* name) {
        errno = 0;
        lxw_worksheet* sheet = workbook_add_worksheet(workbook_, name);
        const int seen = errno;
        if (sheet == nullptr) {
            // Its working file could not be made (a full disk, no descriptor to spare), or its
            // memory not had.
            if (IsWriteErrno(seen)) {
                RaiseFileError(seen);
            }
            Raise(seen == ENOMEM ? kOutOfMemory : kPathFileAccess);
        }
        sheets_.push_back(sheet);
        sheet_ = sheet;
        LargerWorkingBuffer(sheet);
    }
    // The library writes a sheet's rows into its working file a few bytes at a time and reads
    // them back to pack them: through the stream's own small buffer that is a system call every
    // few kilobytes. The buffer is changed only while nothing has gone through the stream.
    void LargerWorkingBuffer(lxw_worksheet* sheet) {
        std::FILE* file = sheet->optimize_tmpfile;
        if (file == nullptr || std::ftell(file) != 0) {
            return;
        }
        // Not filled first: the library's rows overwrite it. Without the memory for it the
        // stream's own buffer does, only more slowly.
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[kWorkingBuffer]);
        if (buffer != nullptr && std::setvbuf(file, buffer.get(), _IOFBF, kWorkingBuffer) == 0) {
            buffers_.push_back(std::move(buffer));
        }
    }
    // The sheet cells go to: the one started last, or the workbook's first, under Excel's own
    // name, when none was started.
    lxw_worksheet* Sheet() {
        if (sheet_ == nullptr) {
            RequireRoom(kRoomForCells);
            const QuietLibrary quiet;
            AddSheet(nullptr);
        }
        return sheet_;
    }
    static lxw_row_t RowIndex(long row) {
        if (row < 1 || row > LimitsOf(SheetFormat::Xlsx).rows) {
            Raise(kOverflow);
        }
        return static_cast<lxw_row_t>(row - 1);
    }
    static lxw_col_t ColumnIndex(long col) {
        if (col < 1 || col > LimitsOf(SheetFormat::Xlsx).columns) {
            Raise(kOverflow);
        }
        return static_cast<lxw_col_t>(col - 1);
    }
    // Stops at the first failure the library reports, or the first write of a row it left
    // failed; nothing more is handed to it but the workbook's freeing.
    void Check(lxw_error error) {
        const int seen = errno;
        switch (error) {
            case LXW_NO_ERROR:
                break;
            case LXW_ERROR_MEMORY_MALLOC_FAILED:
                Raise(kOutOfMemory);
            case LXW_ERROR_MAX_STRING_LENGTH_EXCEEDED:
            case LXW_ERROR_255_STRING_LENGTH_EXCEEDED:
            case LXW_ERROR_WORKSHEET_INDEX_OUT_OF_RANGE:
                Raise(kOverflow);
            default:
                Raise(kPathFileAccess);
        }
        RequireWholeWorkingFile(sheet_, false, seen);
    }

    std::optional<CNumericLocale> locale_;
    std::string folder_;
    std::string path_;
    lxw_workbook* workbook_ = nullptr;
    lxw_worksheet* sheet_ = nullptr;
    std::vector<lxw_worksheet*> sheets_;  // every sheet added, in order
    long cellsSinceRoomCheck_ = 0;
    std::vector<double> stored_;  // the row being written, as stored
    // The working files' buffers: freed only after the files are closed, with the writer.
    std::vector<std::unique_ptr<char[]>> buffers_;
};

}  // namespace

std::unique_ptr<SheetWriter> MakeCsvLineWriter(int stream) {
    return std::make_unique<CsvSheet>(stream);
}

std::unique_ptr<SheetWriter> MakeSheetWriter(SheetFormat format) {
    switch (format) {
        case SheetFormat::Xlsx:
            return std::make_unique<XlsxSheet>();
        case SheetFormat::Csv:
            return std::make_unique<CsvSheet>();
        case SheetFormat::Xls:
            break;
    }
    return std::make_unique<BiffSheet>();
}

std::string CsvField(std::string_view text) {
    std::string utf8 = Cp1252ToUtf8(text);
    if (utf8.find_first_of(",\"\r\n") == std::string::npos) {
        return utf8;
    }
    std::string quoted = "\"";
    for (char ch : utf8) {
        quoted += ch;
        if (ch == '"') {
            quoted += '"';
        }
    }
    return quoted + '"';
}

}  // namespace velto
