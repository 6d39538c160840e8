#include "engine/scrub/state/scrub_state.h"

#include "engine/platform/sys.h"
#include "engine/scrub/state/sqlite_handle.h"
#include "engine/scrub/state/state_file.h"
#include "engine/scrub/state/state_schema.h"
#include "engine/scrub/state/state_statements.h"

#include <ctime>
#include <future>
#include <system_error>
#include <sqlite3.h>

// The state is one SQLite file in WAL mode, so that a status or a metrics
// writer reads while a scrub writes. A scrub's results wait in memory until a
// batch is full or a second old and then go in as one short transaction: a
// transaction held open while a big file is read would keep every other
// scrub sharing the state waiting beyond any sensible busy timeout. A kill
// loses at most the batch in memory, which only makes those files due again.

namespace quelby::scrub {

bool isProblem(LastResult result)
{
    return result == LastResult::differs || result == LastResult::readFailed;
}

namespace {

// A path a scrub never records: one that is no path below its folder.
bool leavesFolder(std::string_view path)
{
    if (path.empty() || path.contains('\0')) {
        return true;
    }
    for (std::size_t start = 0;;) {
        const std::size_t slash = path.find('/', start);
        const std::string_view component = path.substr(start, slash - start);
        if (component.empty() || component == "." || component == "..") {
            return true;
        }
        if (slash == std::string_view::npos) {
            return false;
        }
        start = slash + 1;
    }
}

constexpr std::size_t kBatchChanges = 1000;
// Long enough for another scrub's batch and a checkpoint, short enough that a
// state held by a hung process ends a timer's run instead of stalling it.
constexpr int kBusyTimeoutMilliseconds = 10'000;

// One record or forget waiting for its batch; a batch holds one folder's.
struct Change
{
    std::string path;
    std::optional<KnownFile> file; // none: forget the path
};

class SqliteScrubState final : public ScrubState
{
public:
    SqliteScrubState(std::string path, Database database)
        : path_(std::move(path)), database_(std::move(database))
    {
    }

    ~SqliteScrubState() override
    {
        // A run that stops without committing still keeps what it verified.
        (void)writeBatch(nullptr);
    }

    // Sets the connection up and makes or checks the schema: the first reads
    // of the file, where a damaged one shows as SQLITE_NOTADB or SQLITE_CORRUPT.
    std::expected<void, SqliteError> start()
    {
        sqlite3_busy_timeout(database_.get(), kBusyTimeoutMilliseconds);
        for (const char* pragma : {"PRAGMA journal_mode = WAL", "PRAGMA synchronous = NORMAL"}) {
            if (auto ran = database_.run(pragma); !ran) {
                return ran;
            }
        }
        if (auto current = bringSchemaUpToDate(database_); !current) {
            return current;
        }
        auto prepared = StateStatements::prepare(database_);
        if (!prepared) {
            return std::unexpected(prepared.error());
        }
        statements_.emplace(std::move(*prepared));
        // Reads the folders' pages: cheap, and catches a damaged table early.
        Statement::Use use(statements_->folders);
        return use.eachRow([] {});
    }

    std::expected<KnownFiles, std::string> knownFiles(std::string_view folder) override
    {
        auto inOrder = knownFilesInOrder(folder);
        if (!inOrder) {
            return std::unexpected(inOrder.error());
        }
        KnownFiles files;
        files.reserve(inOrder->size());
        for (KnownEntry& entry : *inOrder) {
            files.emplace(std::move(entry.path), entry.file);
        }
        return files;
    }

    std::expected<std::vector<KnownEntry>, std::string>
    knownFilesInOrder(std::string_view folder) override
    {
        if (auto written = writeBatch(nullptr); !written) {
            return std::unexpected(written.error());
        }
        std::vector<KnownEntry> files;
        std::vector<std::string> stray;
        {
            Statement::Use use(statements_->knownFiles);
            use.bindBytes(1, folder);
            const auto read = use.eachRow([&] {
                std::string path = use.bytes(0);
                if (leavesFolder(path)) {
                    stray.push_back(std::move(path));
                    return;
                }
                files.push_back(KnownEntry{
                    std::move(path),
                    KnownFile{use.integer(1), use.integer(2), use.integer(3),
                              use.optionalInteger(4), static_cast<LastResult>(use.integer(5)),
                              use.optionalInteger(6), verdictOfCode(use.optionalInteger(7))}});
            });
            if (!read) {
                return std::unexpected(failure("read", read.error()));
            }
        }
        if (auto dropped = drop(folder, stray); !dropped) {
            return std::unexpected(dropped.error());
        }
        return files;
    }

    std::expected<void, std::string> record(std::string_view folder, std::string_view path,
                                            const KnownFile& file, Seconds now) override
    {
        return queue(folder, Change{std::string(path), file}, now);
    }

    std::expected<void, std::string> forget(std::string_view folder, std::string_view path,
                                            Seconds now) override
    {
        return queue(folder, Change{std::string(path), std::nullopt}, now);
    }

    std::expected<void, std::string> commit() override { return writeBatch(nullptr); }

    std::expected<void, std::string> saveFolder(const FolderRecord& record) override
    {
        return writeBatch(&record);
    }

    std::expected<std::vector<FolderRecord>, std::string> folders() override
    {
        if (auto written = writeBatch(nullptr); !written) {
            return std::unexpected(written.error());
        }
        std::vector<FolderRecord> found;
        Statement::Use use(statements_->folders);
        const auto read = use.eachRow([&] {
            found.push_back(FolderRecord{use.bytes(0), use.optionalInteger(1), use.integer(2),
                                         use.integer(3), use.integer(4), use.integer(5),
                                         use.integer(6), use.optionalInteger(7), use.integer(8)});
        });
        if (!read) {
            return std::unexpected(failure("read", read.error()));
        }
        return found;
    }

    std::expected<std::vector<OpenProblem>, std::string>
    openProblems(std::string_view folder) override
    {
        if (auto written = writeBatch(nullptr); !written) {
            return std::unexpected(written.error());
        }
        std::vector<OpenProblem> found;
        std::vector<std::string> stray;
        {
            Statement::Use use(statements_->problemCandidates);
            use.bindBytes(1, folder).bind(2, std::int64_t{static_cast<int>(LastResult::matched)});
            const auto read = use.eachRow([&] {
                const auto result = static_cast<LastResult>(use.integer(1));
                if (!isProblem(result)) {
                    return;
                }
                std::string path = use.bytes(0);
                if (leavesFolder(path)) {
                    stray.push_back(std::move(path));
                    return;
                }
                found.push_back(
                    OpenProblem{std::move(path), result,
                                use.optionalInteger(2).value_or(use.optionalInteger(3).value_or(0)),
                                verdictOfCode(use.optionalInteger(4))});
            });
            if (!read) {
                return std::unexpected(failure("read", read.error()));
            }
        }
        if (auto dropped = drop(folder, stray); !dropped) {
            return std::unexpected(dropped.error());
        }
        return found;
    }

    std::expected<std::vector<FolderCounts>, std::string> folderCounts(Seconds now) override
    {
        if (auto written = writeBatch(nullptr); !written) {
            return std::unexpected(written.error());
        }
        std::vector<FolderCounts> found;
        Statement::Use use(statements_->folderCounts);
        // Every result but noDigest; the last two are the problems.
        const auto code = [](LastResult result) { return std::int64_t{static_cast<int>(result)}; };
        use.bind(1, now)
            .bind(2, code(LastResult::none))
            .bind(3, code(LastResult::matched))
            .bind(4, code(LastResult::differs))
            .bind(5, code(LastResult::readFailed))
            .bind(6, code(LastResult::noDigest));
        const auto read = use.eachRow([&] {
            found.push_back(FolderCounts{use.bytes(0), use.integer(1), use.integer(2),
                                         use.integer(3), use.integer(4)});
        });
        if (!read) {
            return std::unexpected(failure("read", read.error()));
        }
        return found;
    }

    void setDropped(std::function<void(const std::string&, const std::string&)> dropped)
    {
        dropped_ = std::move(dropped);
    }

    // A folder recorded under a spelling that is not its real path (through
    // a link, say) is merged into the record of its real path: one folder,
    // one record. Of a file known under both, an open problem wins, then the
    // later verification; of the figures, those of the later run.
    std::expected<void, std::string> mergeSpellings()
    {
        if (auto written = writeBatch(nullptr); !written) {
            return written;
        }
        std::vector<std::pair<std::int64_t, std::string>> moves;
        {
            auto all = Statement::prepare(database_, "SELECT id, path FROM folders");
            if (!all) {
                return std::unexpected(failure("read", all.error()));
            }
            Statement::Use use(*all);
            const auto read = use.eachRow([&] {
                const std::string folder = use.bytes(1);
                if (auto real = sys::realPath(folder); real && *real != folder) {
                    moves.emplace_back(use.integer(0), std::move(*real));
                }
            });
            if (!read) {
                return std::unexpected(failure("read", read.error()));
            }
        }
        for (const auto& [from, real] : moves) {
            if (auto merged = mergeFolder(from, real); !merged) {
                (void)database_.run("ROLLBACK");
                folderIds_.clear();
                return std::unexpected(failure("written", merged.error()));
            }
        }
        return {};
    }

private:
    // Deletes records no scrub wrote, each named to dropped_ first; whatever
    // they name is never looked at.
    std::expected<void, std::string> drop(std::string_view folder,
                                          const std::vector<std::string>& stray)
    {
        if (stray.empty()) {
            return {};
        }
        for (const std::string& path : stray) {
            if (dropped_) {
                dropped_(std::string(folder), path);
            }
            if (auto queued = enqueue(folder, Change{path, std::nullopt}, batchOpenedAt_);
                !queued) {
                return queued;
            }
        }
        return writeBatch(nullptr);
    }

    std::expected<void, SqliteError> mergeFolder(std::int64_t from, const std::string& real)
    {
        if (auto begun = database_.run("BEGIN IMMEDIATE"); !begun) {
            return begun;
        }
        const auto to = folderId(real);
        if (!to) {
            return std::unexpected(to.error());
        }
        const char* const steps[] = {
            "INSERT INTO files (folder, path, size, modified_ns, changed_ns, verified_at, result, "
            "problem_since, verdict) SELECT ?1, path, size, modified_ns, changed_ns, verified_at, "
            "result, problem_since, verdict FROM files WHERE folder = ?2 "
            "ON CONFLICT (folder, path) DO UPDATE SET "
            "size = excluded.size, modified_ns = excluded.modified_ns, "
            "changed_ns = excluded.changed_ns, verified_at = excluded.verified_at, "
            "result = excluded.result, problem_since = excluded.problem_since, "
            "verdict = excluded.verdict "
            "WHERE (excluded.result IN (?3, ?4)) > (files.result IN (?3, ?4)) OR "
            "((excluded.result IN (?3, ?4)) = (files.result IN (?3, ?4)) AND "
            "coalesce(excluded.verified_at, -1) > coalesce(files.verified_at, -1))",
            "DELETE FROM files WHERE folder = ?2",
            "UPDATE folders SET (last_run, every_days, files, verified_in_period, problems, "
            "bytes_read, notified_at, without_digest) = (SELECT last_run, every_days, files, "
            "verified_in_period, problems, bytes_read, notified_at, without_digest FROM folders "
            "WHERE id = ?2) WHERE id = ?1 AND coalesce(last_run, -1) < "
            "(SELECT coalesce(last_run, -1) FROM folders WHERE id = ?2)",
            "DELETE FROM folders WHERE id = ?2",
        };
        for (const char* sql : steps) {
            auto statement = Statement::prepare(database_, sql);
            if (!statement) {
                return std::unexpected(statement.error());
            }
            // The problems' codes; a statement without ?3 and ?4 ignores them.
            Statement::Use use(*statement);
            use.bind(1, *to)
                .bind(2, from)
                .bind(3, std::int64_t{static_cast<int>(LastResult::differs)})
                .bind(4, std::int64_t{static_cast<int>(LastResult::readFailed)});
            if (auto ran = use.run(); !ran) {
                return ran;
            }
        }
        return database_.run("COMMIT");
    }

    std::string failure(const char* what, const SqliteError& error) const
    {
        return "the scrub state " + path_ + " could not be " + what + ": " + error.description;
    }

    std::expected<void, std::string> queue(std::string_view folder, Change change, Seconds now)
    {
        if (auto queued = enqueue(folder, std::move(change), now); !queued) {
            return queued;
        }
        if (pending_.size() >= kBatchChanges || now - batchOpenedAt_ >= 1) {
            return startWriting();
        }
        return {};
    }

    // Hands the open batch to a thread of its own, once the one before it is
    // written, so that the scrub goes on reading while SQLite writes.
    std::expected<void, std::string> startWriting()
    {
        if (auto waited = awaitWriting(); !waited) {
            return waited;
        }
        writing_.swap(pending_);
        writingFolder_.swap(pendingFolder_);
        pending_.clear();
        try {
            written_ = std::async(std::launch::async,
                                  [this] { return transaction(writing_, writingFolder_, nullptr); });
        } catch (const std::system_error&) {
            return awaitWriting(); // no thread to be had: written here
        }
        return {};
    }

    // Waits for the batch being written. One that failed is tried again
    // here, before anything after it, and stays for the next attempt.
    std::expected<void, std::string> awaitWriting()
    {
        if (written_.valid() && written_.get()) {
            writing_.clear();
        }
        if (writing_.empty()) {
            return {};
        }
        if (auto again = transaction(writing_, writingFolder_, nullptr); !again) {
            return std::unexpected(failure("written", again.error()));
        }
        writing_.clear();
        return {};
    }

    // Adds a change to the batch, which is written first when it holds another folder's.
    std::expected<void, std::string> enqueue(std::string_view folder, Change change, Seconds now)
    {
        if (!pending_.empty() && folder != pendingFolder_) {
            if (auto written = writeBatch(nullptr); !written) {
                return written;
            }
        }
        if (pending_.empty()) {
            pendingFolder_.assign(folder);
            batchOpenedAt_ = now;
        }
        pending_.push_back(std::move(change));
        return {};
    }

    // Writes the batch being written and the waiting changes, and the
    // folder's figures when given; the caller may use the connection after.
    // On failure the changes stay queued for the next attempt.
    std::expected<void, std::string> writeBatch(const FolderRecord* record)
    {
        if (auto waited = awaitWriting(); !waited) {
            return waited;
        }
        if (pending_.empty() && record == nullptr) {
            return {};
        }
        if (auto written = transaction(pending_, pendingFolder_, record); !written) {
            return std::unexpected(failure("written", written.error()));
        }
        pending_.clear();
        return {};
    }

    // The changes, all of folder, and the folder's figures when given, in one
    // transaction; the connection is used by one thread at a time.
    std::expected<void, SqliteError> transaction(const std::vector<Change>& changes,
                                                 const std::string& folder,
                                                 const FolderRecord* record)
    {
        StateStatements& statements = *statements_;
        if (auto begun = Statement::Use(statements.begin).run(); !begun) {
            return begun;
        }
        auto written = writeChanges(changes, folder, record);
        if (written) {
            written = Statement::Use(statements.commit).run();
        }
        if (!written) {
            (void)Statement::Use(statements.rollback).run();
            // A folder added in the failed transaction may get another id.
            folderIds_.clear();
        }
        return written;
    }

    std::expected<void, SqliteError> writeChanges(const std::vector<Change>& changes,
                                                  const std::string& folder,
                                                  const FolderRecord* record)
    {
        if (auto written = writeFiles(changes, folder); !written) {
            return written;
        }
        StateStatements& statements = *statements_;
        if (record == nullptr) {
            return {};
        }
        Statement::Use save(statements.saveFolder);
        save.bindBytes(1, record->folder)
            .bind(2, record->lastRun)
            .bind(3, record->everyDays)
            .bind(4, record->files)
            .bind(5, record->verifiedInPeriod)
            .bind(6, record->problems)
            .bind(7, record->bytesRead)
            .bind(8, record->notifiedAt)
            .bind(9, record->withoutDigest);
        return save.run();
    }

    // The batch's records and forgets, in order; runs of records go
    // kFilesPerPut to a statement, which costs SQLite far less per file.
    std::expected<void, SqliteError> writeFiles(const std::vector<Change>& changes,
                                                const std::string& folderPath)
    {
        if (changes.empty()) {
            return {};
        }
        const auto folder = folderId(folderPath);
        if (!folder) {
            return std::unexpected(folder.error());
        }
        StateStatements& statements = *statements_;
        for (std::size_t next = 0; next < changes.size();) {
            if (!changes[next].file) {
                Statement::Use drop(statements.dropFile);
                if (auto ran = drop.bind(1, *folder).bindBytes(2, changes[next].path).run();
                    !ran) {
                    return ran;
                }
                ++next;
                continue;
            }
            std::size_t end = next;
            while (end < changes.size() && changes[end].file) {
                ++end;
            }
            while (next < end) {
                const bool many = end - next >= kFilesPerPut;
                Statement::Use put(many ? statements.putFiles : statements.putFile);
                const std::size_t count = many ? kFilesPerPut : 1;
                for (std::size_t row = 0; row < count; ++row, ++next) {
                    bindFile(put, static_cast<int>(row * kFileColumns), *folder, changes[next]);
                }
                if (auto ran = put.run(); !ran) {
                    return ran;
                }
            }
        }
        return {};
    }

    static void bindFile(Statement::Use& put, int before, std::int64_t folder,
                         const Change& change)
    {
        const KnownFile& file = *change.file;
        put.bind(before + 1, folder)
            .bindBytes(before + 2, change.path)
            .bind(before + 3, file.size)
            .bind(before + 4, file.modifiedNs)
            .bind(before + 5, file.changedNs)
            .bind(before + 6, file.verifiedAt)
            .bind(before + 7, std::int64_t{static_cast<int>(file.result)})
            .bind(before + 8, file.problemSince)
            .bind(before + 9, verdictCode(file.verdict));
    }

    // Inside a write transaction: the folder's row id, adding the folder when new.
    std::expected<std::int64_t, SqliteError> folderId(const std::string& folder)
    {
        if (const auto known = folderIds_.find(folder); known != folderIds_.end()) {
            return known->second;
        }
        if (auto added = Statement::Use(statements_->addFolder).bindBytes(1, folder).run();
            !added) {
            return std::unexpected(added.error());
        }
        Statement::Use use(statements_->folderId);
        use.bindBytes(1, folder);
        if (auto row = use.step(); !row) {
            return std::unexpected(row.error());
        }
        const std::int64_t id = use.integer(0);
        folderIds_.emplace(folder, id);
        return id;
    }

    std::string path_;
    Database database_;
    std::optional<StateStatements> statements_;
    std::vector<Change> pending_;
    std::string pendingFolder_; // the folder of every change in pending_
    // The batch written on its own thread, and what became of it.
    std::vector<Change> writing_;
    std::string writingFolder_;
    std::future<std::expected<void, SqliteError>> written_;
    Seconds batchOpenedAt_ = 0;
    std::unordered_map<std::string, std::int64_t> folderIds_;
    std::function<void(const std::string&, const std::string&)> dropped_;
};

bool isDamaged(const SqliteError& error)
{
    return error.code == SQLITE_NOTADB || error.code == SQLITE_CORRUPT;
}

std::expected<std::unique_ptr<SqliteScrubState>, SqliteError> startState(const std::string& path)
{
    auto database = Database::open(withRealFolder(path));
    if (!database) {
        return std::unexpected(database.error());
    }
    auto state = std::make_unique<SqliteScrubState>(path, std::move(*database));
    if (auto started = state->start(); !started) {
        return std::unexpected(started.error());
    }
    return state;
}

} // namespace

std::expected<std::unique_ptr<ScrubState>, std::string>
ScrubState::open(const std::string& path, const std::function<void(const std::string&)>& movedAside,
                 const std::function<void(const std::string&, const std::string&)>& dropped)
{
    const auto cannot = [&](const std::string& reason) {
        return std::unexpected("the scrub state " + path + " could not be opened: " + reason);
    };
    if (auto made = makeStateFolder(path); !made) {
        return cannot(made.error().description);
    }
    if (auto writable = checkStateFileWritable(path); !writable) {
        return cannot(writable.error().description);
    }
    auto state = startState(path);
    if (!state && isDamaged(state.error())) {
        const auto aside = moveStateAside(path, std::time(nullptr));
        if (!aside) {
            return cannot(state.error().description +
                          ", and moving it aside failed: " + aside.error().description);
        }
        movedAside(*aside);
        state = startState(path);
    }
    if (!state) {
        return cannot(state.error().description);
    }
    if (auto merged = (*state)->mergeSpellings(); !merged) {
        return std::unexpected(merged.error());
    }
    (*state)->setDropped(dropped);
    return std::unique_ptr<ScrubState>(std::move(*state));
}

} // namespace quelby::scrub
