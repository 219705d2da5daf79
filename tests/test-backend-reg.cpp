// The process-wide backend registry and run-time loading of backend
// libraries. The libraries are tiny test backends built next to this test
// (see backend-libs/), one directory per scenario.

#include "backend/impl.h"
#include "tevo-cpu.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string lib_dir = TEVO_TEST_BACKEND_DIR;

std::string lib_path(const std::string & dir, const std::string & file_name) {
    return lib_dir + "/" + dir + "/libtevo-" + file_name + ".so";
}

// every log line while alive
struct log_capture {
    std::vector<std::pair<int, std::string>> lines;

    log_capture() { tevo_log_set(callback, this); }
    ~log_capture() { tevo_log_set(NULL, NULL); }

    static void callback(enum tevo_log_level level, const char * text, void * user_data) {
        ((log_capture *) user_data)->lines.emplace_back((int) level, text);
    }

    bool has(int level, const std::string & text) const {
        for (const auto & line : lines) {
            if (line.first == level && line.second == text) {
                return true;
            }
        }
        return false;
    }

    bool has_prefix(int level, const std::string & prefix) const {
        for (const auto & line : lines) {
            if (line.first == level && line.second.compare(0, prefix.size(), prefix) == 0) {
                return true;
            }
        }
        return false;
    }
};

// a fresh empty directory, removed afterwards
struct temp_dir {
    fs::path path;

    temp_dir() {
        char templ[] = "/tmp/tevo-backend-reg-XXXXXX";
        path         = mkdtemp(templ);
    }
    ~temp_dir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// the library at path is mapped in this process
bool is_mapped(const std::string & path) {
    void * handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == NULL) {
        return false;
    }
    dlclose(handle);
    return true;
}

std::vector<tevo_backend_reg_t> all_regs() {
    std::vector<tevo_backend_reg_t> regs;
    for (size_t i = 0; i < tevo_backend_reg_count(); i++) {
        regs.push_back(tevo_backend_reg_get(i));
    }
    return regs;
}

std::vector<tevo_backend_dev_t> all_devs() {
    std::vector<tevo_backend_dev_t> devs;
    for (size_t i = 0; i < tevo_backend_dev_count(); i++) {
        devs.push_back(tevo_backend_dev_get(i));
    }
    return devs;
}

// Every test leaves the registry as it found it: the CPU registry alone.
class BackendReg : public ::testing::Test {
  protected:
    void TearDown() override {
        while (tevo_backend_reg_count() > 1) {
            tevo_backend_unload(tevo_backend_reg_get(1));
        }
        EXPECT_EQ(tevo_backend_dev_count(), 1u);
    }
};

}  // namespace

TEST_F(BackendReg, StartsWithTheCpuRegistry) {
    ASSERT_EQ(tevo_backend_reg_count(), 1u);
    EXPECT_EQ(tevo_backend_reg_get(0), tevo_backend_cpu_reg());
    ASSERT_EQ(tevo_backend_dev_count(), 1u);
    EXPECT_EQ(tevo_backend_dev_get(0), tevo_backend_reg_dev_get(tevo_backend_cpu_reg(), 0));
    EXPECT_EQ(tevo_backend_dev_by_type(TEVO_BACKEND_DEVICE_TYPE_CPU), tevo_backend_dev_get(0));
    EXPECT_EQ(tevo_backend_dev_by_type(TEVO_BACKEND_DEVICE_TYPE_GPU), nullptr);
}

TEST_F(BackendReg, NamesMatchIgnoringCaseButWhole) {
    for (const char * name : {"CPU", "cpu", "Cpu"}) {
        EXPECT_EQ(tevo_backend_reg_by_name(name), tevo_backend_cpu_reg()) << name;
        EXPECT_EQ(tevo_backend_dev_by_name(name), tevo_backend_dev_get(0)) << name;
    }
    for (const char * name : {"CP", "CPUS", "", "GPU"}) {
        EXPECT_EQ(tevo_backend_reg_by_name(name), nullptr) << name;
        EXPECT_EQ(tevo_backend_dev_by_name(name), nullptr) << name;
    }
    EXPECT_EQ(tevo_backend_init_by_name("nothing", NULL), nullptr);
    EXPECT_EQ(tevo_backend_init_by_type(TEVO_BACKEND_DEVICE_TYPE_ACCEL, NULL), nullptr);
}

TEST_F(BackendReg, RegisteringTwiceOrNullChangesNothing) {
    tevo_backend_register(tevo_backend_cpu_reg());
    tevo_backend_register(NULL);
    tevo_backend_device_register(tevo_backend_dev_get(0));
    EXPECT_EQ(tevo_backend_reg_count(), 1u);
    EXPECT_EQ(tevo_backend_dev_count(), 1u);
}

TEST_F(BackendReg, InitBestFallsBackToCpu) {
    tevo_backend_t backend = tevo_backend_init_best();
    ASSERT_NE(backend, nullptr);
    EXPECT_TRUE(tevo_backend_is_cpu(backend));
    tevo_backend_free(backend);

    backend = tevo_backend_init_by_type(TEVO_BACKEND_DEVICE_TYPE_CPU, "ignored");
    ASSERT_NE(backend, nullptr);
    EXPECT_TRUE(tevo_backend_is_cpu(backend));
    tevo_backend_free(backend);

    backend = tevo_backend_init_by_name("cpu", NULL);
    ASSERT_NE(backend, nullptr);
    EXPECT_TRUE(tevo_backend_is_cpu(backend));
    tevo_backend_free(backend);
}

TEST_F(BackendReg, IndexOutOfRangeIsFatal) {
    setenv("TEVO_NO_BACKTRACE", "1", 1);
    EXPECT_DEATH(tevo_backend_reg_get(1), "tevo/src/tevo-backend-reg:[0-9]+: "
                                          "TEVO_ASSERT\\(index < tevo_backend_reg_count\\(\\)\\) failed");
    EXPECT_DEATH(tevo_backend_dev_get(1), "tevo/src/tevo-backend-reg:[0-9]+: "
                                          "TEVO_ASSERT\\(index < tevo_backend_dev_count\\(\\)\\) failed");
}

TEST_F(BackendReg, LoadedGpuIsPreferredAndGetsTheCallersParams) {
    const std::string path = lib_path("single", "gpu");
    log_capture log;
    tevo_backend_reg_t reg = tevo_backend_load(path.c_str());
    ASSERT_NE(reg, nullptr);
    EXPECT_TRUE(log.has(TEVO_LOG_LEVEL_INFO, "load_backend: loaded TestGpu backend from " + path + "\n"));

    ASSERT_EQ(tevo_backend_reg_count(), 2u);
    EXPECT_EQ(tevo_backend_reg_get(1), reg);
    EXPECT_EQ(tevo_backend_reg_by_name("testgpu"), reg);
    ASSERT_EQ(tevo_backend_dev_count(), 2u);
    tevo_backend_dev_t gpu = tevo_backend_dev_get(1);
    EXPECT_STREQ(tevo_backend_dev_name(gpu), "TESTGPU");
    EXPECT_EQ(tevo_backend_dev_by_type(TEVO_BACKEND_DEVICE_TYPE_GPU), gpu);

    // the test device keeps its parameter text as the backend's context
    const char * params = "some params";
    tevo_backend_t backend = tevo_backend_init_by_type(TEVO_BACKEND_DEVICE_TYPE_GPU, params);
    ASSERT_NE(backend, nullptr);
    EXPECT_EQ(backend->context, (void *) params);
    tevo_backend_free(backend);

    backend = tevo_backend_init_by_name("TestGPU", params);
    ASSERT_NE(backend, nullptr);
    EXPECT_EQ(backend->context, (void *) params);
    tevo_backend_free(backend);

    backend = tevo_backend_init_best();
    ASSERT_NE(backend, nullptr);
    EXPECT_STREQ(tevo_backend_name(backend), "TESTGPU");
    EXPECT_EQ(backend->context, nullptr);
    tevo_backend_free(backend);

    // unloading removes registry and device and closes the library
    tevo_backend_unload(reg);
    EXPECT_EQ(tevo_backend_reg_count(), 1u);
    EXPECT_EQ(tevo_backend_dev_count(), 1u);
    EXPECT_FALSE(is_mapped(path));

    // a second unload is silent
    log.lines.clear();
    tevo_backend_unload(reg);
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(BackendReg, UnloadKeepsTheOrderOfTheOthers) {
    tevo_backend_reg_t gpu   = tevo_backend_load(lib_path("single", "gpu").c_str());
    tevo_backend_reg_t gpu2  = tevo_backend_load(lib_path("single", "gpu2").c_str());
    tevo_backend_reg_t accel = tevo_backend_load(lib_path("single", "accel").c_str());
    ASSERT_TRUE(gpu && gpu2 && accel);
    tevo_backend_dev_t cpu_dev   = tevo_backend_dev_get(0);
    tevo_backend_dev_t gpu_dev   = tevo_backend_reg_dev_get(gpu, 0);
    tevo_backend_dev_t gpu2_dev  = tevo_backend_reg_dev_get(gpu2, 0);
    tevo_backend_dev_t accel_dev = tevo_backend_reg_dev_get(accel, 0);
    EXPECT_EQ(all_devs(), (std::vector<tevo_backend_dev_t>{cpu_dev, gpu_dev, gpu2_dev, accel_dev}));

    tevo_backend_unload(gpu);
    EXPECT_EQ(all_regs(), (std::vector<tevo_backend_reg_t>{tevo_backend_cpu_reg(), gpu2, accel}));
    EXPECT_EQ(all_devs(), (std::vector<tevo_backend_dev_t>{cpu_dev, gpu2_dev, accel_dev}));

    // without a first-class GPU the secondary one is the best
    tevo_backend_t backend = tevo_backend_init_best();
    ASSERT_NE(backend, nullptr);
    EXPECT_STREQ(tevo_backend_name(backend), "TESTGPU2");
    tevo_backend_free(backend);
}

TEST_F(BackendReg, LoadFailuresAreLoggedAndLeaveNothingOpen) {
    struct failure {
        std::string path;
        int         level;
        std::string line_prefix;
    };
    const std::string missing = lib_dir + "/single/libtevo-missing.so";
    const std::vector<failure> cases = {
        {missing, TEVO_LOG_LEVEL_ERROR, "load_backend: failed to load " + missing + ": "},
        {lib_path("single", "oldapi"), TEVO_LOG_LEVEL_ERROR,
         "load_backend: failed to initialize backend from " + lib_path("single", "oldapi") +
             ": incompatible API version (backend: 2, current: 3)\n"},
        {lib_path("single", "unsupported"), TEVO_LOG_LEVEL_INFO,
         "load_backend: backend " + lib_path("single", "unsupported") + " is not supported on this system\n"},
        {lib_path("single", "nullinit"), TEVO_LOG_LEVEL_ERROR,
         "load_backend: failed to initialize backend from " + lib_path("single", "nullinit") +
             ": tevo_backend_init returned NULL\n"},
        {lib_path("single", "noinit"), TEVO_LOG_LEVEL_ERROR,
         "load_backend: failed to find tevo_backend_init in " + lib_path("single", "noinit") + "\n"},
    };
    for (const failure & c : cases) {
        log_capture log;
        EXPECT_EQ(tevo_backend_load(c.path.c_str()), nullptr) << c.path;
        EXPECT_TRUE(log.has_prefix(c.level, c.line_prefix)) << c.line_prefix;
        EXPECT_EQ(log.lines.size(), 1u) << c.path;
        EXPECT_EQ(tevo_backend_reg_count(), 1u);
        EXPECT_FALSE(is_mapped(c.path)) << c.path;
    }
    // the loader's own error text follows the path
    log_capture log;
    tevo_backend_load(missing.c_str());
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_GT(log.lines[0].second.size(), ("load_backend: failed to load " + missing + ": \n").size());
}

TEST_F(BackendReg, LoadingTwiceRegistersOnceAndClosesOnce) {
    const std::string path = lib_path("single", "gpu");
    tevo_backend_reg_t reg1 = tevo_backend_load(path.c_str());
    tevo_backend_reg_t reg2 = tevo_backend_load(path.c_str());
    ASSERT_NE(reg1, nullptr);
    EXPECT_EQ(reg1, reg2);
    EXPECT_EQ(tevo_backend_reg_count(), 2u);
    EXPECT_EQ(tevo_backend_dev_count(), 2u);
    EXPECT_TRUE(is_mapped(path));
    tevo_backend_unload(reg1);
    EXPECT_FALSE(is_mapped(path));
}

TEST_F(BackendReg, BestScoringVariantIsLoadedQuietly) {
    log_capture log;
    tevo_backend_load_best("foo", (lib_dir + "/variants").c_str());
    ASSERT_EQ(tevo_backend_reg_count(), 2u);
    EXPECT_STREQ(tevo_backend_reg_name(tevo_backend_reg_get(1)), "foo_b");
    // only the loader's information line
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].second,
              "load_backend: loaded foo_b backend from " + lib_dir + "/variants/libtevo-foo-b.so\n");
    // the candidates that lost are closed again
    EXPECT_FALSE(is_mapped(lib_path("variants", "foo-a")));
    EXPECT_FALSE(is_mapped(lib_path("variants", "foo-c")));
    EXPECT_FALSE(is_mapped(lib_path("variants", "foo-d")));
    EXPECT_FALSE(is_mapped(lib_path("variants", "foo")));
}

TEST_F(BackendReg, EqualScoresGoToTheFirstListed) {
    std::string first;
    for (const auto & entry : fs::directory_iterator(lib_dir + "/ties")) {
        std::string name = entry.path().filename().string();
        if (name.rfind("libtevo-tie-", 0) == 0 && entry.path().extension() == ".so") {
            first = name;
            break;
        }
    }
    ASSERT_FALSE(first.empty());
    tevo_backend_load_best("tie", (lib_dir + "/ties").c_str());
    ASSERT_EQ(tevo_backend_reg_count(), 2u);
    const std::string expected = first == "libtevo-tie-a.so" ? "tie_a" : "tie_b";
    EXPECT_EQ(tevo_backend_reg_name(tevo_backend_reg_get(1)), expected);
}

TEST_F(BackendReg, PlainLibraryWhenNoVariantScores) {
    tevo_backend_load_best("bar", (lib_dir + "/plain").c_str());
    ASSERT_EQ(tevo_backend_reg_count(), 2u);
    EXPECT_STREQ(tevo_backend_reg_name(tevo_backend_reg_get(1)), "bar_plain");
}

TEST_F(BackendReg, OnlyMatchingFileNamesAreCandidates) {
    temp_dir dir;
    const std::string lib = lib_path("variants", "foo-b");
    // wrong extension, no dash after the name, a directory
    fs::copy_file(lib, dir.path / "libtevo-baz-x.dylib");
    fs::copy_file(lib, dir.path / "libtevo-bazx.so");
    fs::create_directory(dir.path / "libtevo-baz-y.so");
    tevo_backend_load_best("baz", dir.path.c_str());
    EXPECT_EQ(tevo_backend_reg_count(), 1u);

    // a symbolic link to a library counts as the library
    fs::create_symlink(lib, dir.path / "libtevo-baz-z.so");
    tevo_backend_load_best("baz", dir.path.c_str());
    ASSERT_EQ(tevo_backend_reg_count(), 2u);
    EXPECT_STREQ(tevo_backend_reg_name(tevo_backend_reg_get(1)), "foo_b");
}

TEST_F(BackendReg, BrokenPlainLibraryFailsSilently) {
    temp_dir dir;
    std::ofstream(dir.path / "libtevo-junk.so") << "not a shared library";
    log_capture log;
    tevo_backend_load_best("junk", dir.path.c_str());
    EXPECT_EQ(tevo_backend_reg_count(), 1u);
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(BackendReg, MissingSearchDirectoryIsOnlyDebugged) {
    const std::string missing = lib_dir + "/no-such-dir";
    log_capture log;
    tevo_backend_load_best("foo", missing.c_str());
    EXPECT_EQ(tevo_backend_reg_count(), 1u);
    EXPECT_TRUE(log.has(TEVO_LOG_LEVEL_DEBUG, "tevo_backend_load_best: search path " + missing + " does not exist\n"));
}

TEST_F(BackendReg, CurrentDirectoryIsSearched) {
    temp_dir dir;
    fs::copy_file(lib_path("variants", "foo-b"), dir.path / "libtevo-cwdtest-v.so");
    const fs::path old_cwd = fs::current_path();
    fs::current_path(dir.path);
    tevo_backend_load_best("cwdtest", NULL);
    fs::current_path(old_cwd);
    ASSERT_EQ(tevo_backend_reg_count(), 2u);
    EXPECT_STREQ(tevo_backend_reg_name(tevo_backend_reg_get(1)), "foo_b");
}

TEST_F(BackendReg, UnreadableCurrentDirectoryLeavesTheExecutableDirectory) {
    const fs::path old_cwd = fs::current_path();
    {
        temp_dir dir;
        fs::current_path(dir.path);
    }  // the current directory is gone now
    log_capture log;
    tevo_backend_load_best("nothing", NULL);
    fs::current_path(old_cwd);
    EXPECT_TRUE(log.has_prefix(TEVO_LOG_LEVEL_DEBUG, "tevo_backend_load_best: current_path() failure, error-message: "));
    EXPECT_EQ(tevo_backend_reg_count(), 1u);
}

TEST_F(BackendReg, BackendPathIsLoadedAfterTheKnownNames) {
    temp_dir empty;
    const std::string path = lib_path("single", "gpu");
    setenv("TEVO_BACKEND_PATH", path.c_str(), 1);
    tevo_backend_load_all_from_path(empty.path.c_str());
    ASSERT_EQ(tevo_backend_reg_count(), 2u);
    EXPECT_STREQ(tevo_backend_reg_name(tevo_backend_reg_get(1)), "TestGpu");

    // it is loaded loudly
    const std::string missing = lib_dir + "/single/libtevo-missing.so";
    setenv("TEVO_BACKEND_PATH", missing.c_str(), 1);
    log_capture log;
    tevo_backend_load_all_from_path(empty.path.c_str());
    unsetenv("TEVO_BACKEND_PATH");
    EXPECT_TRUE(log.has_prefix(TEVO_LOG_LEVEL_ERROR, "load_backend: failed to load " + missing + ": "));
    EXPECT_EQ(tevo_backend_reg_count(), 2u);
}

TEST_F(BackendReg, KnownNamesLoadInListOrder) {
    temp_dir dir;
    // "cpu" comes last in the list, "blas" first
    fs::copy_file(lib_path("single", "gpu"), dir.path / "libtevo-cpu.so");
    fs::copy_file(lib_path("single", "gpu2"), dir.path / "libtevo-blas.so");
    unsetenv("TEVO_BACKEND_PATH");
    tevo_backend_load_all_from_path(dir.path.c_str());
    ASSERT_EQ(tevo_backend_reg_count(), 3u);
    EXPECT_STREQ(tevo_backend_reg_name(tevo_backend_reg_get(1)), "TestGpu2");
    EXPECT_STREQ(tevo_backend_reg_name(tevo_backend_reg_get(2)), "TestGpu");
}
