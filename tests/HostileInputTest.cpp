// Hostile files and faulty encoders, through the real `dorvex` command as a user would run it.
// Every case must end with a clear result within generous bounds of time and memory, leave its
// source exactly as it was, and leave no temporary file behind.

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "DorvexProcess.h"
#include "ProcessChecks.h"
#include "TestSupport.h"
#include "dorvex/image/Toolchain.h"
#include "pdf/PDFFlate.h"

namespace dorvex {
namespace {

using namespace testing;

constexpr double maxSeconds = 10;
#if defined(__SANITIZE_ADDRESS__)
constexpr long maxMemoryKB = 3L << 20;  // the sanitizer's shadow memory comes on top
#else
constexpr long maxMemoryKB = 1L << 20;
#endif

std::string bytesOf(const fs::path& file) { return contents(file); }

void write(const fs::path& file, const std::string& data) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << data;
}

std::string cut(const std::string& data, double fraction) { return data.substr(0, std::size_t(data.size() * fraction)); }

// A PDF written by hand: objects numbered from 1 in order, the catalog first, with a correct
// cross-reference table.
std::string pdf(const std::vector<std::string>& objects) {
    std::string out = "%PDF-1.7\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(out.size());
        out += fmt::format("{} 0 obj\n{}\nendobj\n", i + 1, objects[i]);
    }
    const std::size_t table = out.size();
    out += fmt::format("xref\n0 {}\n0000000000 65535 f \n", objects.size() + 1);
    for (std::size_t offset : offsets) out += fmt::format("{:010} 00000 n \n", offset);
    out += fmt::format("trailer\n<< /Size {} /Root 1 0 R >>\nstartxref\n{}\n%%EOF\n", objects.size() + 1, table);
    return out;
}

std::string flateStream(const std::string& dictionary, const std::string& plain) {
    const std::string data = PDFFlate::deflated(reinterpret_cast<const unsigned char*>(plain.data()), plain.size());
    return fmt::format("<< {} /Filter /FlateDecode /Length {} >>\nstream\n{}\nendstream", dictionary, data.size(), data);
}

std::string page(const std::string& resources) {
    return "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R /Resources " + resources + " >>";
}

struct Case {
    std::string name;
    // Makes the input in `folder` and returns the path to hand to dorvex.
    std::function<fs::path(const fs::path& folder)> make;
    int status;             // the exit status expected
    std::string expected;   // a text the output must contain
    std::vector<std::string> environment = {};
    std::vector<std::string> arguments = {};
};

class HostileInputTest : public ::testing::Test {
protected:
    void SetUp() override { root_ = makeTemporaryFolder(executableFolder(), "HostileInputTest-"); }
    void TearDown() override { fs::remove_all(root_); }

    // Runs every case in a folder of its own and checks the common promises.
    void runAll(const std::vector<Case>& cases) {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const Case& c = cases[i];
            SCOPED_TRACE(c.name);
            const fs::path caseRoot = root_ / fmt::format("case-{}", i);
            const fs::path input = c.make(caseRoot / "files");
            const auto before = snapshot(caseRoot / "files");
            std::vector<std::string> args = c.arguments;
            args.push_back(input.string());
            const DorvexOutcome run = DorvexProcess(caseRoot, args, c.environment).finish(30);
            EXPECT_EQ(run.status, c.status) << run.out << run.err.substr(0, 2000);
            EXPECT_NE(run.out.find(c.expected), std::string::npos) << run.out.substr(0, 2000);
            EXPECT_LT(run.seconds, maxSeconds);
            EXPECT_LT(run.peakMemoryKB, maxMemoryKB);
            EXPECT_LT(run.out.size() + run.err.size(), 100000u);  // no encoder's chatter in bulk
            for (const auto& [file, data] : before) {
                if (fs::exists(file)) {
                    EXPECT_TRUE(bytesOf(file) == data) << file << " changed";
                }
            }
            EXPECT_TRUE(namesIn(caseRoot / "tmp").empty());
            for (const auto& entry : fs::recursive_directory_iterator(caseRoot / "files")) {
                EXPECT_FALSE(entry.path().filename().string().starts_with(".dorvex-")) << entry.path();
            }
        }
    }

    static std::vector<std::pair<fs::path, std::string>> snapshot(const fs::path& folder) {
        std::vector<std::pair<fs::path, std::string>> files;
        if (!fs::exists(folder)) return files;
        for (const auto& entry : fs::recursive_directory_iterator(folder)) {
            if (entry.is_regular_file()) files.emplace_back(entry.path(), bytesOf(entry.path()));
        }
        return files;
    }

    fs::path root_;
};

const std::string jpeg = contents(testMedia("images/Penguin-Sushi-1.JPG"));
const std::string png = contents(testMedia("images/docdiff-screenshot-format-tty-xterm-en.png"));

std::function<fs::path(const fs::path&)> file(const std::string& name, const std::string& data) {
    return [=](const fs::path& folder) {
        write(folder / name, data);
        return folder / name;
    };
}

std::string patchedJpegSize(int width, int height) {
    std::string data = jpeg;
    const std::size_t frame = data.find("\xFF\xC0");
    EXPECT_NE(frame, std::string::npos);
    data[frame + 5] = char(height >> 8), data[frame + 6] = char(height & 0xFF);
    data[frame + 7] = char(width >> 8), data[frame + 8] = char(width & 0xFF);
    return data;
}

TEST_F(HostileInputTest, DamagedAndDeceitfulFiles) {
    std::string pngBomb = png;  // the IHDR's width and height, 16 bytes in
    for (int i = 16; i < 24; ++i) pngBomb[std::size_t(i)] = i % 4 == 1 ? '\x01' : '\0';
    runAll({
        {"JPEG cut at a tenth", file("a.jpg", cut(jpeg, 0.1)), 1, "文件已损坏或格式不受支持"},
        {"JPEG cut half way", file("a.jpg", cut(jpeg, 0.5)), 1, "文件已损坏或格式不受支持"},
        {"JPEG cut near its end", file("a.jpg", cut(jpeg, 0.9)), 1, "文件已损坏或格式不受支持"},
        {"JPEG cut with its end marker kept", file("a.jpg", cut(jpeg, 0.5) + "\xFF\xD9"), 1, "文件已损坏或格式不受支持"},
        {"JPEG claiming 16000 × 16000", file("a.jpg", patchedJpegSize(16000, 16000)), 1, "文件已损坏或格式不受支持"},
        {"PNG claiming a giant size", file("a.png", pngBomb), 1, "文件已损坏或格式不受支持"},
        {"PNG cut half way", file("a.png", cut(png, 0.5)), 1, "文件已损坏或格式不受支持"},
        {"text named .jpg", file("a.jpg", "just some text\n"), 1, "文件已损坏或格式不受支持"},
        {"empty JPEG", file("a.jpg", ""), 1, "✗"},
        {"empty PNG", file("a.png", ""), 1, "✗"},
        {"empty MP4", file("a.mp4", ""), 1, "✗"},
        {"empty PDF", file("a.pdf", ""), 1, "✗"},
        {"MP4 cut before its index",
         [](const fs::path& folder) {
             fs::create_directories(folder);
             const fs::path whole = folder.parent_path() / "whole.mp4";
             const std::string make = fmt::format(
                 "ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -t 2 -c:v libx264 -preset ultrafast "
                 "-movflags 0 '{}'", whole.string());
             EXPECT_EQ(std::system(make.c_str()), 0);
             write(folder / "cut.mp4", cut(contents(whole), 0.8));  // the index comes last
             return folder / "cut.mp4";
         },
         1, "✗"},
        {"PDF whose page tree contains itself",
         file("loop.pdf", pdf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                               "<< /Type /Pages /Parent 2 0 R /Kids [2 0 R] /Count 1 >>"})),
         1, "✗"},
        {"PDF whose form draws itself",
         file("self.pdf", pdf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                               page("<< /XObject << /F 5 0 R >> >>"), flateStream("", "q /F Do Q"),
                               flateStream("/Type /XObject /Subtype /Form /BBox [0 0 10 10] "
                                           "/Resources << /XObject << /F 5 0 R >> >>",
                                           "q 0.5 0 0 0.5 0 0 cm /F Do Q")})),
         0, "self.pdf"},
        {"PDF whose content inflates past a gigabyte's worth of work",
         file("bomb.pdf", pdf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                               page("<< >>"), flateStream("", std::string(80u << 20, ' '))})),
         0, "bomb.pdf"},
    });
}

// Names a shell or a terminal could trip over are files like any other.
TEST_F(HostileInputTest, AwkwardNames) {
    const std::vector<std::string> names{"new\nline.jpg", "\xFF\xFE-not-utf8.jpg", "-leading-dash.jpg",
                                         std::string(246, 'n') + ".jpg"};
    runAll({
        {"a folder of awkward names",
         [&](const fs::path& folder) {
             for (const auto& name : names) write(folder / name, jpeg);
             return folder;
         },
         0, "new\\nline.jpg"},
    });
    for (const auto& name : names) {
        const std::string stem = name.substr(0, name.size() - 4);
        EXPECT_TRUE(fs::exists(root_ / "case-0/files" / (stem + "-min.jpg"))) << stem;
    }
}

// Encoders that exit 0 after writing junk, crash, chatter without end, or leave a child holding
// their standard error.
TEST_F(HostileInputTest, FaultyEncoders) {
    const Toolchain real = Toolchain::locate(processEnvironment(), fs::path(DORVEX_RESOURCE_DIR) / "bin");
    if (!real.cwebp) GTEST_SKIP() << "cwebp is not installed";
    const fs::path fakes = root_ / "fakes";
    const auto fake = [&](const std::string& name, const std::string& body) {
        write(fakes / name, "#!/bin/sh\nwhile [ $# -gt 0 ]; do [ \"$1\" = -o ] && out=$2; shift; done\n" + body);
        fs::permissions(fakes / name, fs::perms::owner_all);
        return "DORVEX_CWEBP=" + (fakes / name).string();
    };
    const std::vector<std::string> webp{"-f", "webp"};
    // The real encoder, with a sleeper started first that keeps its standard error open.
    write(fakes / "holding", "#!/bin/sh\nsleep 30 &\nexec '" + *real.cwebp + "' \"$@\"\n");
    fs::permissions(fakes / "holding", fs::perms::owner_all);
    runAll({
        {"empty output", file("a.png", png), 1, "wrote an unusable file: it is empty",
         {fake("empty", ": > \"$out\"\n")}, webp},
        {"garbage output", file("a.png", png), 1, "wrote an unusable file: it does not decode",
         {fake("garbage", "echo junk > \"$out\"\n")}, webp},
        {"a crash", file("a.png", png), 1, "terminated by signal SEGV", {fake("crash", "kill -SEGV $$\n")}, webp},
        {"200 MB of standard error", file("a.png", png), 1, "exited 1",
         {fake("chatter", "head -c 200000000 /dev/zero | tr '\\0' x >&2\nexit 1\n")}, webp},
        {"a child left holding standard error", file("a.png", png), 0, "a.png",
         {"DORVEX_CWEBP=" + (fakes / "holding").string()}, webp},
    });
}

// SIGINT sent to dorvex alone, while an encoder hangs: the run ends at once and so does the encoder.
TEST_F(HostileInputTest, InterruptedWhileAnEncoderHangs) {
    // The encoder runs in a worker, which may write only in its temporary folder.
    const fs::path fakes = root_ / "fakes";
    write(fakes / "cwebp", "#!/bin/sh\necho $$ > \"$TMPDIR/cwebp.pid\"\nexec sleep 60\n");
    fs::permissions(fakes / "cwebp", fs::perms::owner_all);
    write(root_ / "files/a.png", png);
    DorvexProcess dorvex(root_, {"-f", "webp", (root_ / "files/a.png").string()},
                         {"DORVEX_CWEBP=" + (fakes / "cwebp").string()});
    const auto pidFile = [&] {
        for (const std::string& name : namesIn(root_ / "tmp")) {
            if (fs::exists(root_ / "tmp" / name / "cwebp.pid")) return contents(root_ / "tmp" / name / "cwebp.pid");
        }
        return std::string();
    };
    for (int i = 0; i < 500 && pidFile().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string encoder = pidFile().substr(0, pidFile().find('\n'));
    ASSERT_FALSE(encoder.empty());
    dorvex.signal(SIGINT);
    const DorvexOutcome run = dorvex.finish(30);
    EXPECT_EQ(run.status, 130) << run.out << run.err;
    EXPECT_LT(run.seconds, maxSeconds);
    EXPECT_TRUE(hasEnded(encoder));
    EXPECT_EQ(namesIn(root_ / "files"), std::vector<std::string>{"a.png"});
    EXPECT_TRUE(namesIn(root_ / "tmp").empty());
}

}  // namespace
}  // namespace dorvex
