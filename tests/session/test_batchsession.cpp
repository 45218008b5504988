#include <gtest/gtest.h>
#include <QDateTime>
#include <QFile>

#include <QPointer>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <tuple>
#include <utility>

#include "shell/model/batchjournal.h"
#include "shell/runner/endreason.h"
#include "shell/session/batchsession.h"
#include "tests/harness/harness.h"

namespace velto {
namespace {

// A backend of the test's own: it says only what it is told to, when it is told, so that every
// order of events a real backend may give can be played against the session.
class FakeBackend : public BatchBackend {
  public:
    enum class State { kWaiting, kRunning, kEnded };
    void Start(const SolverInfo&, const std::vector<std::string>& given) override {
        files = given;
        states.assign(given.size(), State::kWaiting);
    }
    void Stop() override { stopAsked = true; }
    void Detach() override {}
    void GiveUpOutput(int, const QByteArray&) override {}

    // A solver that ended by itself (exit code 0, 3, or signal 11), or after the user's stop.
    enum class End { kExit0, kExit3, kSignal, kAborted };
    void EndFile(int file, End end) {
        states[static_cast<std::size_t>(file)] = State::kEnded;
        if (end == End::kExit3 || end == End::kSignal) {
            const QByteArray reason = QByteArray::fromStdString(
                EndReason(end == End::kExit3 ? SolverEnd{3, 0} : SolverEnd{0, 11}) + "\n");
            emit outputChunk(file, reason);
            emit fileFailedBecause(file, reason);
        }
        emit fileFinished(file,
                          end == End::kExit0     ? kStatusCompleted
                          : end == End::kAborted ? kStatusAborted
                                                 : kStatusFailed,
                          0);
    }
    int Count(State state) const {
        return static_cast<int>(std::count(states.begin(), states.end(), state));
    }

    std::vector<std::string> files;
    std::vector<State> states;
    bool acceptedSaid = false;
    bool stopAsked = false;
};

// Runs the rows through a fake backend of the test's; null when the run was refused.
FakeBackend* RunFake(BatchSession& session) {
    auto backend = std::make_unique<FakeBackend>();
    FakeBackend* fake = backend.get();
    return session.RunThrough(std::move(backend)) ? fake : nullptr;
}

class ShellSession : public ::testing::Test {
  protected:
    std::string Input(const std::string& name) {
        const std::string path = dir.File(name);
        test::WriteBytes(path, "TIME\n 1 100\nEND_TIME\n");
        return path;
    }
    FakeBackend* Run() { return RunFake(session); }
    QStringList Rows() const {
        QStringList paths;
        for (const BatchModel::Row& row : session.batch().rows()) {
            paths.append(row.path);
        }
        return paths;
    }

    test::ScratchDir dir;
    BatchSession session;
};

// Show Results: a row's listing is NAME.out beside its input file (the name less its last
// extension), where a cluster's task runs the solver too; offered once the row has started, and
// followed while it runs. A row never run, or waiting its turn, has none to show.
TEST_F(ShellSession, AStartedRowsResultsAreItsListing) {
    session.Add({Input("beam1.in"), Input("case.v2.in"), Input("frame.in")});
    EXPECT_FALSE(session.ResultsOf(0).offered);
    FakeBackend* fake = Run();
    ASSERT_NE(fake, nullptr);
    emit fake->accepted();
    emit fake->fileStarted(0, 0);
    emit fake->fileStarted(1, 0);
    fake->EndFile(1, FakeBackend::End::kExit3);
    test::WriteBytes(dir.File("case.v2.out"), "");
    auto results = [&](int row) {
        const RowResults r = session.ResultsOf(row);
        return std::tuple(r.offered, r.listing, r.written, r.running);
    };
    EXPECT_EQ(results(0), std::tuple(true, dir.File("beam1.out"), false, true));
    // An earlier run's listing, not yet written over by the running one, is not its results.
    test::WriteBytes(dir.File("beam1.out"), "");
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-60);
    QFile earlier(QString::fromStdString(dir.File("beam1.out")));
    ASSERT_TRUE(earlier.open(QIODevice::ReadWrite));
    ASSERT_TRUE(earlier.setFileTime(before, QFileDevice::FileModificationTime));
    earlier.close();
    EXPECT_FALSE(session.ResultsOf(0).written);
    test::WriteBytes(dir.File("beam1.out"), "  TIME =");
    EXPECT_EQ(results(0), std::tuple(true, dir.File("beam1.out"), true, true));
    EXPECT_EQ(results(1), std::tuple(true, dir.File("case.v2.out"), true, false));
    EXPECT_FALSE(session.ResultsOf(2).offered) << "queued";
    EXPECT_FALSE(session.ResultsOf(3).offered);
}

// What may be done follows the batch: the list commands while none runs and rows are listed,
// Stop and the quit question only while one runs; a command that is off is refused, and an Add
// refused names every name. Each change of the rules is announced.
TEST_F(ShellSession, RulesFollowTheBatchAndRefuseWhatIsOff) {
    int announced = 0;
    QObject::connect(&session, &BatchSession::enablingChanged, [&] { ++announced; });
    BatchEnabling e = session.Enabling();
    EXPECT_TRUE(e.add && e.chooseSolver && e.exportSetting && !e.stop && !e.quitAsks);
    EXPECT_FALSE(e.run || e.remove || e.clear || e.runOnCluster);
    EXPECT_EQ(Run(), nullptr);  // nothing to run
    EXPECT_FALSE(session.QuitQuestion());
    int quits = 0;
    QObject::connect(&session, &BatchSession::quitReady, [&] { ++quits; });
    session.Quit();
    EXPECT_EQ(quits, 1);  // no batch: at once

    const std::string a = Input("a.in"), b = Input("b.in");
    EXPECT_TRUE(session.Add({a, b}).refused.isEmpty());
    e = session.Enabling();
    EXPECT_TRUE(e.run && e.remove && e.clear && session.CanDelete(1) && !session.CanDelete(2));
    EXPECT_EQ(announced, 1);

    FakeBackend* fake = Run();
    ASSERT_NE(fake, nullptr);
    EXPECT_EQ(announced, 2);
    e = session.Enabling();
    EXPECT_TRUE(e.stop && e.quitAsks && e.chooseSolver);
    EXPECT_FALSE(e.add || e.remove || e.clear || e.run || e.exportSetting || e.openFile);
    emit fake->accepted();
    emit fake->fileStarted(0, 0);
    EXPECT_FALSE(session.Delete(0) || session.Delete(1) || session.Clear() || Run());
    EXPECT_FALSE(session.StopQuestion());  // a local batch stops without a question
    const std::string c = Input("c.in");
    const CheckedInputs refused = session.Add({c, a});
    EXPECT_EQ(refused.refused.join('\n').toStdString(),
              c + ": not added while the batch runs\n" + a + ": not added while the batch runs");
    EXPECT_EQ(Rows(), (QStringList{QString::fromStdString(a), QString::fromStdString(b)}));

    const BatchQuestion quit = session.QuitQuestion();
    EXPECT_EQ(quit.kind, BatchQuestion::Kind::kQuit);
    EXPECT_EQ(quit.text, "Analysis is running. Do you want to exit and abbort current analysis?");
    session.Quit();  // Yes: the batch stops, and the quit waits for its end
    EXPECT_TRUE(fake->stopAsked);
    EXPECT_EQ(quits, 1);
    fake->EndFile(0, FakeBackend::End::kAborted);
    emit fake->finished();
    EXPECT_EQ(quits, 2);
    EXPECT_EQ(announced, 3);
    EXPECT_EQ(session.batch().rows()[0].status, "Aborted");
    EXPECT_EQ(session.batch().rows()[1].status, "");  // never reached: as it was
    EXPECT_TRUE(session.Enabling().run);
}

// --resume is offered a batch only when it left files unfinished: not one whose files all
// completed (its record goes), not a list a window never ran, not one that runs now. The batch
// taken up reruns its unfinished files; one gone since is left out, and the batch then cannot
// complete.
TEST_F(ShellSession, ResumeIsOfferedOnlyForAnUnfinishedBatch) {
    const QString records = BatchJournal::DefaultPath(QStringLiteral("velto-batch"));
    std::filesystem::create_directories(records.toStdString());
    auto record = [&](const std::string& name, const std::string& rows) {
        const std::string path = records.toStdString() + "/" + name + ".json";
        test::WriteBytes(path, "{\"rows\": [" + rows + "]}");
        return path;
    };
    auto row = [&](const std::string& file, const std::string& status) {
        return "{\"path\": \"" + Input(file) + "\", \"status\": \"" + status +
               "\", \"reason\": \"Velto ended with exit code 3\"}";
    };
    const std::string done = record("00000000-000000-000-3", row("done.in", "Completed"));
    record("00000000-000000-000-4", row("listed.in", ""));
    EXPECT_FALSE(session.OfferResume().offered);
    EXPECT_FALSE(std::filesystem::exists(done));

    record("00000000-000000-000-1", row("failed.in", "Failed") + ", " + row("gone.in", "Aborted") +
                                        ", " + row("ok.in", "Completed"));
    {
        BatchSession running;  // a batch that runs now keeps its record
        running.Add({Input("busy.in")});
        ASSERT_EQ(running.KeepOnDisk(), "");
        running.RunThrough(std::make_unique<FakeBackend>());
        BatchSession resuming;
        const ResumeOffer offer = resuming.OfferResume();
        ASSERT_TRUE(offer.offered);
        EXPECT_EQ(offer.running, 1);
        ASSERT_EQ(offer.unfinished.size(), 2u);
        EXPECT_EQ(offer.unfinished[0].reason, "Velto ended with exit code 3");
        std::filesystem::remove(dir.File("gone.in"));
        const CheckedInputs taken = resuming.TakeResume(offer);
        EXPECT_EQ(taken.refused.size(), 1);
        EXPECT_TRUE(resuming.resumeIncomplete());
        ASSERT_EQ(resuming.batch().rowCount(), 1);
        EXPECT_EQ(resuming.batch().rows()[0].path, QString::fromStdString(dir.File("failed.in")));
        EXPECT_FALSE(BatchSession().OfferResume().offered);  // held by the one resuming it
    }
    EXPECT_TRUE(session.OfferResume().offered);  // not run in the end: still there
}

// Random commands of the user and events of the backend, checked after every step: no file runs
// twice at once or again after it ended in its batch, every run that started ends once and its
// row shows how, a row that failed says why, the record says what the rows say, and what is
// enabled is what the commands do. VELTO_TEST_SEED replays one seed.
TEST_F(ShellSession, RandomCommandsAndEventsKeepTheBatchWhole) {
    std::vector<std::string> names;
    for (const char* name : {"a.in", "b.in", "c.in", "d.in", "e.in", "notes.txt"}) {
        names.push_back(Input(name));
    }
    names.push_back(dir.File("missing.in"));
    const char* fixed = std::getenv("VELTO_TEST_SEED");
    const unsigned first = fixed ? static_cast<unsigned>(std::atoi(fixed)) : 1;
    const unsigned last = fixed ? first : 12;
    int batches = 0, ends = 0, refusals = 0;
    for (unsigned seed = first; seed <= last; ++seed) {
        std::mt19937 random(seed);
        auto pick = [&](std::size_t n) { return static_cast<int>(random() % n); };
        BatchSession session;
        session.setKeepConsoleText(seed % 2 == 0);
        if (seed % 12 == 3) {  // a record to check; saved often, so for one seed
            ASSERT_TRUE(session.TakeUpLastBatch().isEmpty());
        }
        const BatchModel& batch = session.batch();
        BatchEnabling announced = session.Enabling();
        QObject::connect(&session, &BatchSession::enablingChanged,
                         [&] { announced = session.Enabling(); });
        FakeBackend* fake = nullptr;
        QPointer<FakeBackend> previous;  // the backend of the batch before, until it is deleted
        // This batch's runs as the rows told of them: under way, and ended with a status.
        std::set<int> under;
        std::map<int, QString> ended;
        bool finished = false, quitAsked = false, quitReady = false;
        std::string step;
        auto fail = [&](const std::string& what) {
            ADD_FAILURE() << "seed " << seed << ", after " << step << ": " << what;
        };
        QObject::connect(&batch, &BatchModel::fileStarted, [&](int row) {
            if (under.count(row) || ended.count(row)) {
                fail("row " + std::to_string(row) + " started again");
            }
            under.insert(row);
        });
        QObject::connect(&batch, &BatchModel::fileFinished, [&](int row, const QString& status) {
            if (!under.erase(row)) {
                fail("row " + std::to_string(row) + " ended twice, or without starting");
            }
            ended[row] = status;
            ++ends;
        });
        QObject::connect(&batch, &BatchModel::rowsChanged, [&] {
            ended.clear();  // rows listed anew: what this batch did to them is told already
        });
        QObject::connect(&batch, &BatchModel::batchFinished, [&] {
            finished = true;
            ++batches;
        });
        QObject::connect(&batch, &BatchModel::batchRefused, [&] { finished = true; });
        QObject::connect(&session, &BatchSession::quitReady, [&] { quitReady = true; });

        // The backend says what a real one may say next, two files at a time.
        auto backendEvent = [&] {
            if (previous && pick(10) == 0) {
                step = "a late word of the batch before";
                const std::vector<QString> before = test::Statuses(batch);
                emit previous->fileFinished(0, kStatusFailed, 0);
                if (test::Statuses(batch) != before) {
                    fail("a batch run over still changes the rows");
                }
                return;
            }
            if (!fake || !batch.running()) {
                return;
            }
            if (!fake->acceptedSaid) {
                fake->acceptedSaid = true;
                // Now and then the cluster refuses: nothing ran, and the rows are as they were.
                if (pick(8) == 0) {
                    step = "refused";
                    emit fake->refused("the cluster refused the job");
                } else {
                    step = "accepted";
                    emit fake->accepted();
                }
                return;
            }
            std::vector<int> running;
            for (std::size_t i = 0; i < fake->states.size(); ++i) {
                if (fake->states[i] == FakeBackend::State::kRunning) {
                    running.push_back(static_cast<int>(i));
                }
            }
            const int waiting = fake->Count(FakeBackend::State::kWaiting);
            const int file =
                running.empty() ? -1 : running[static_cast<std::size_t>(pick(running.size()))];
            const auto start = [&] {
                const int next = static_cast<int>(fake->states.size()) - waiting;
                fake->states[static_cast<std::size_t>(next)] = FakeBackend::State::kRunning;
                step = "file " + std::to_string(next) + " started";
                emit fake->fileStarted(next, 0);
            };
            const auto print = [&] {
                step = "file " + std::to_string(file) + " printed";
                emit fake->outputChunk(file, "  Step: time = 50.00 s\n");
                emit fake->progress(file, 0.5f, "x");
            };
            const auto end = [&] {
                const auto how = static_cast<FakeBackend::End>(pick(fake->stopAsked ? 4 : 3));
                step = "file " + std::to_string(file) + " ended " + std::to_string(int(how));
                fake->EndFile(file, how);
            };
            const auto finish = [&] {
                step = "backend finished";
                emit fake->finished();
            };
            std::vector<std::function<void()>> possible;
            if (waiting > 0 && !fake->stopAsked && running.size() < 2) {
                possible.insert(possible.end(), {start, start});
            }
            if (file >= 0) {
                possible.insert(possible.end(), {print, end, end});
            } else if (waiting == 0 || fake->stopAsked) {
                possible.push_back(finish);
            }
            if (!possible.empty()) {
                possible[static_cast<std::size_t>(pick(possible.size()))]();
            }
        };
        // The user's commands, each checked against what the rules said before it.
        auto userCommand = [&] {
            const BatchEnabling e = session.Enabling();
            const int rows = batch.rowCount();
            // Adds and runs most often, so that batches of several files run.
            static const int kinds[] = {0, 0, 0, 0, 1, 2, 3, 3, 3, 4, 5};
            switch (kinds[pick(std::size(kinds))]) {
                case 0: {
                    std::vector<std::string> given;
                    for (int i = pick(3); i >= 0; --i) {
                        given.push_back(names[static_cast<std::size_t>(pick(names.size()))]);
                    }
                    step = "add";
                    const QString refusal = AddRefusalText(session.Add(given));
                    for (const std::string& name : given) {
                        const bool listed = std::any_of(
                            batch.rows().begin(), batch.rows().end(),
                            [&](const BatchModel::Row& row) { return row.nativePath == name; });
                        if (!(e.add && listed) && !refusal.contains(QString::fromStdString(name))) {
                            fail(name + " neither added nor named");
                        }
                    }
                    break;
                }
                case 1: {
                    const int row = pick(static_cast<std::size_t>(rows) + 1) - 1;
                    step = "delete " + std::to_string(row);
                    const bool removable = e.remove && row >= 0;
                    if (session.Delete(row) != removable ||
                        batch.rowCount() != rows - (removable ? 1 : 0)) {
                        fail("delete did not do what the rules said");
                    }
                    break;
                }
                case 2:
                    step = "clear";
                    if (session.Clear() != e.clear || (e.clear && batch.rowCount() != 0)) {
                        fail("clear did not do what the rules said");
                    }
                    break;
                case 3: {
                    step = "run";
                    FakeBackend* started = RunFake(session);
                    refusals += started ? 0 : 1;
                    if ((started != nullptr) != e.run) {
                        fail("run did not do what the rules said");
                    }
                    if (started) {
                        previous = fake;
                        fake = started;
                        under.clear();
                        ended.clear();
                    }
                    break;
                }
                case 4:
                    step = "stop";
                    session.Stop();
                    if (fake && batch.running() && !fake->stopAsked) {
                        fail("stop did not reach the backend");
                    }
                    break;
                default: {
                    step = "quit";
                    const bool asks = static_cast<bool>(session.QuitQuestion());
                    if (asks != batch.running() || asks != e.quitAsks) {
                        fail("the quit question is not asked exactly while a batch runs");
                    }
                    quitReady = false;
                    quitAsked = asks;
                    session.Quit();
                    if (quitReady == asks) {
                        fail("the quit was not ready exactly when no batch ran");
                    }
                }
            }
        };

        for (int n = 0; n < 600; ++n) {
            (pick(4) == 0 ? std::function<void()>(userCommand) : backendEvent)();
            const BatchEnabling e = session.Enabling();
            if (!(announced == e)) {
                fail("a change of what is enabled was not announced");
            }
            if (e.stop != batch.running() || (e.run && batch.running())) {
                fail("the rules disagree with the batch");
            }
            if (fake && batch.running()) {
                for (std::size_t i = 0; i < fake->files.size(); ++i) {
                    if (i >= batch.rows().size() || fake->files[i] != batch.rows()[i].nativePath) {
                        fail("a row is no longer the file its backend runs");
                    }
                }
            }
            for (int row = 0; row < batch.rowCount(); ++row) {
                const BatchModel::Row& r = batch.rows()[static_cast<std::size_t>(row)];
                const std::string said = "row " + std::to_string(row) + " shows " +
                                         r.status.toStdString() + " with the reason '" +
                                         r.reason.toStdString() + "'";
                if (!batch.running() && (r.status == kStatusRunning || r.status == kStatusQueued)) {
                    fail(said + " with no batch running");
                }
                if (((r.status == kStatusFailed || r.status == kStatusAborted) &&
                     r.reason.isEmpty()) ||
                    (r.status == kStatusCompleted && !r.reason.isEmpty())) {
                    fail(said);
                }
                if (ended.count(row) && ended[row] != r.status) {
                    fail(said + ", not how it ended");
                }
            }
            if (finished) {
                finished = false;
                if (!under.empty()) {
                    fail("the run of row " + std::to_string(*under.begin()) + " was lost");
                }
                if (std::exchange(quitAsked, false) && !quitReady) {
                    fail("the quit asked during the batch never came");
                }
                if (!session.recordPath().isEmpty()) {
                    BatchModel kept;
                    BatchJournal::Load(session.recordPath(), kept);
                    for (int row = 0; row < batch.rowCount(); ++row) {
                        const auto i = static_cast<std::size_t>(row);
                        if (row >= kept.rowCount() ||
                            kept.rows()[i].status != batch.rows()[i].status ||
                            kept.rows()[i].reason != batch.rows()[i].reason) {
                            fail("the record does not say what row " + std::to_string(row) +
                                 " says");
                        }
                    }
                }
            }
        }
    }
    // The run must have exercised what it checks.
    EXPECT_GT(batches, 100);
    EXPECT_GT(ends, 300);
    EXPECT_GT(refusals, 100);
}

}  // namespace
}  // namespace velto
