// The program as users get it: installed with cmake --install, or from the
// Debian package and the tarball that cpack builds.
#include "order3_report.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path build_dir = KELDRAN_BUILD_DIR;
const fs::path package_dir = KELDRAN_PACKAGE_DIR;
const std::string cmake_command = KELDRAN_CMAKE_COMMAND;
const std::string project_version = KELDRAN_VERSION;

// Everything an installation holds, relative to its prefix.
const std::set<std::string> installed_files{"bin/keldran", "share/doc/keldran/README.md",
                                            "share/man/man1/keldran.1"};

struct process_result {
    int status;
    std::string out;
    std::string err;
};

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string in_quotes(const fs::path& path)
{
    return "'" + path.string() + "'";
}

// Every file under root that is not a directory, relative to root.
std::set<std::string> files_under(const fs::path& root)
{
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_directory()) {
            files.insert(entry.path().lexically_relative(root).string());
        }
    }
    return files;
}

std::set<std::string> with_prefix(const std::string& prefix, const std::set<std::string>& files)
{
    std::set<std::string> prefixed;
    for (const std::string& file : files) {
        prefixed.insert(prefix + file);
    }
    return prefixed;
}

// The one package whose name ends in `suffix` among those that cpack built.
fs::path built_package(const std::string& suffix)
{
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(package_dir)) {
        if (entry.path().filename().string().ends_with(suffix)) {
            found.push_back(entry.path());
        }
    }
    EXPECT_EQ(found.size(), 1U) << suffix << " in " << package_dir;
    return found.empty() ? fs::path{} : found.front();
}

// Names of the packages in a Depends field, without their version bounds.
std::set<std::string> package_names(const std::string& depends)
{
    std::set<std::string> names;
    std::istringstream fields(depends);
    for (std::string field; std::getline(fields, field, ',');) {
        std::istringstream words(field);
        std::string name;
        words >> name;
        names.insert(name);
    }
    return names;
}

// Each test works in a scratch folder of its own.
class ScratchFolder : public testing::Test {
protected:
    fs::path dir;

    void SetUp() override
    {
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::path(testing::TempDir()) / ("keldran_" + std::string(info->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }

    void TearDown() override { fs::remove_all(dir); }

    // Runs a shell command in the scratch folder, capturing stdout and stderr apart.
    process_result shell(const std::string& command) const
    {
        const std::string script = "cd " + in_quotes(dir) + " && { " + command + "; } >"
                                   + in_quotes(dir / "out") + " 2>" + in_quotes(dir / "err");
        const int raw = std::system(script.c_str());
        const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return {status, read_file(dir / "out"), read_file(dir / "err")};
    }

    // Unpacks the Debian package into the folder `root`, as dpkg would lay it out.
    void extract_debian_package() const
    {
        const process_result r = shell("dpkg-deb -x " + in_quotes(built_package(".deb")) + " root");
        ASSERT_EQ(r.status, 0) << r.err;
    }
};

using Install = ScratchFolder;
using DebianPackage = ScratchFolder;
using Tarball = ScratchFolder;

TEST_F(Install, PutsOnlyTheProgramManualPageAndReadmeUnderThePrefix)
{
    const process_result r =
        shell(in_quotes(cmake_command) + " --install " + in_quotes(build_dir) + " --prefix prefix");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(files_under(dir / "prefix"), installed_files);
}

TEST_F(DebianPackage, InstalledProgramWritesTheOrderThreeReport)
{
    ASSERT_NO_FATAL_FAILURE(extract_debian_package());
    const process_result r = shell("echo 3 | root/usr/bin/keldran");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, keldran_tests::order3_report());
}

TEST_F(DebianPackage, HoldsOnlyTheProgramManualPageAndReadmeUnderUsr)
{
    ASSERT_NO_FATAL_FAILURE(extract_debian_package());
    EXPECT_EQ(files_under(dir / "root"), with_prefix("usr/", installed_files));
}

// The C++ runtime is linked into the program by default; built without it,
// the program needs the shared C++ runtime, and the package says so.
TEST_F(DebianPackage, DependsOnTheRuntimesTheProgramLoadsAndNothingElse)
{
    const process_result r = shell("dpkg-deb -f " + in_quotes(built_package(".deb")) + " Depends");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::set<std::string> names = package_names(r.out);
    EXPECT_TRUE(names.contains("libc6")) << r.out;
    EXPECT_EQ(names.contains("libstdc++6"), !KELDRAN_STATIC_CXX_RUNTIME) << r.out;
    const std::set<std::string> runtimes{"libc6", "libgcc-s1", "libstdc++6"};
    for (const std::string& name : names) {
        EXPECT_TRUE(runtimes.contains(name)) << name;
    }
}

TEST_F(DebianPackage, CarriesTheProjectVersionAMaintainerAndBothDescriptions)
{
    const fs::path deb = built_package(".deb");
    const auto field = [&](const std::string& name) {
        const process_result r = shell("dpkg-deb -f " + in_quotes(deb) + " " + name);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    };
    EXPECT_EQ(field("Package"), "keldran\n");
    EXPECT_EQ(field("Version"), project_version + "\n");
    EXPECT_NE(field("Maintainer").find('<'), std::string::npos);
    // A one-line summary, then the longer description on continuation lines.
    const std::string description = field("Description");
    const auto first_line_end = description.find('\n');
    ASSERT_NE(first_line_end, std::string::npos);
    EXPECT_GT(first_line_end, 0U);
    EXPECT_EQ(description.substr(first_line_end, 2), "\n ");
}

TEST_F(Tarball, HoldsOnlyTheProgramManualPageAndReadmeInOneFolder)
{
    const process_result r = shell("tar -xzf " + in_quotes(built_package(".tar.gz")));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string folder = "keldran-" + project_version + "-Linux/";
    std::set<std::string> files = files_under(dir);
    files.erase("out");
    files.erase("err");
    EXPECT_EQ(files, with_prefix(folder, installed_files));
}

}  // namespace
