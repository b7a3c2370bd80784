#pragma once
// WorkerPool: the engine's worker processes, where every untrusted file is read. A job (or a
// thumbnail) takes an idle worker, or starts one, sends its request and reads the worker's events
// until its result; the worker then waits for the next job. A worker that crashes, is killed (the
// memory bound, the out-of-memory killer), stays silent past the job's limit or says anything
// but the protocol fails only the job it ran, and is replaced by the next job that needs one.
// Outputs are placed here, in the engine's process, from the worker's hand-off name: a worker
// never touches a destination.
//
// Each worker runs `libexec/dorvex-worker` (beside `lib/dorvex/`) with one end of a socket pair
// as descriptor 3, and a private folder of its own (a WorkFolder, "dorvex-worker-<UUID>") as its
// temporary folder: the only place its sandbox lets it write. The folder goes with the worker.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string_view>

#include "dorvex/engine/LibraryVersions.h"
#include "dorvex/image/Thumbnail.h"
#include "dorvex/image/Toolchain.h"
#include "dorvex/model/Cancellation.h"
#include "dorvex/model/CompressionEvent.h"
#include "dorvex/model/CompressionOptions.h"
#include "dorvex/model/CompressionResult.h"
#include "dorvex/output/OutputPlanner.h"
#include "dorvex/text/Translation.h"
#include "engine/worker/WorkerProtocol.h"

namespace dorvex::WorkerPool {

// The texts of a job whose worker failed it, as written; results carry them in the user's language.
inline constexpr std::string_view crashedText = i18nMark("解码时崩溃，已跳过此文件");
inline constexpr std::string_view killedText = i18nMark("解码进程被系统终止（可能内存不足），已跳过此文件");
inline constexpr std::string_view exitedText = i18nMark("解码进程意外退出，已跳过此文件");
inline constexpr std::string_view silentText = i18nMark("解码进程长时间无响应，已跳过此文件");
inline constexpr std::string_view garbledText = i18nMark("解码进程的回复无法读取，已跳过此文件");

// Runs one job in a worker and places its output with `place`. Blocks; never throws. Events come
// on the calling thread; `isCancelled` is asked every tenth of a second.
CompressionResult run(WorkerProtocol::JobKind kind, const std::filesystem::path& source,
                      const CompressionOptions& options, const Toolchain& tools, const EventHandler& onEvent,
                      const CancelQuery& isCancelled, const OutputPlanner::Handoff& place);

// A thumbnail made in a worker; nullopt when it cannot be made there. Never throws.
std::optional<Thumbnail> thumbnail(const std::filesystem::path& file, int maxSide);

// The libraries' versions as a worker loads them; when no worker can be asked, the reason in
// place of each version. Never throws.
std::vector<LibraryVersions::Library> libraries();

// Ends the idle workers and waits for them. Workers busy now go when their jobs end and the
// process exits (their socket closes, and a worker ends with it).
void stop();

// The worker program: libexec/dorvex-worker beside this program's resource folder.
std::optional<std::filesystem::path> program();

// For tests only: another worker program, and one silence limit for every job instead of the
// limits that follow the source. Set them while no job runs; nullopt restores the default.
namespace Testing {
void useProgram(std::optional<std::filesystem::path> program);
void setSilenceLimit(std::optional<std::chrono::milliseconds> limit);
}  // namespace Testing

}  // namespace dorvex::WorkerPool
