// The programs as users get them: installed with cmake --install, or from the
// Debian package and the tarball that cpack builds.
#include "order3_report.h"

#include "shell_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using keldran_tests::process_result;
using keldran_tests::read_file;

namespace fs = std::filesystem;

const fs::path build_dir = KELDRAN_BUILD_DIR;
const fs::path package_dir = KELDRAN_PACKAGE_DIR;
const std::string cmake_command = KELDRAN_CMAKE_COMMAND;
const std::string project_version = KELDRAN_VERSION;

// Everything an installation holds, relative to its prefix.
const std::set<std::string> installed_files{"bin/keldran",
                                            "bin/keldran-echo",
                                            "share/doc/keldran/README.md",
                                            "share/doc/keldran/copyright",
                                            "share/man/man1/keldran.1",
                                            "share/man/man1/keldran-echo.1"};

// The packages of every shared library the two programs load: the C library
// for both; the C++ runtime, libsamplerate and KissFFT's float library for
// keldran-echo.
const std::set<std::string> runtime_packages{"libc6", "libgcc-s1", "libstdc++6", "libsamplerate0",
                                             "libkissfft-float131"};

// The C library and the C++ runtime come with the compiler; their licences (the
// LGPL, the GPL with the GCC runtime library exception) leave a program that
// loads them under a licence of its own.
const std::set<std::string> toolchain_packages{"libc6", "libgcc-s1", "libstdc++6"};

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

// The licence that a machine-readable Debian copyright file gives for the
// package's files as a whole (its "Files: *" paragraph), or "" if none.
std::string main_licence(const std::string& copyright)
{
    const auto files = copyright.find("\nFiles: *\n");
    if (files == std::string::npos) {
        return {};
    }
    const std::string field = "\nLicense: ";
    const auto licence = copyright.find(field, files);
    if (licence == std::string::npos) {
        return {};
    }
    const auto start = licence + field.size();
    return copyright.substr(start, copyright.find('\n', start) - start);
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
class ScratchFolder : public keldran_tests::folder_test {
protected:
    // Runs a shell command in the scratch folder, capturing stdout and stderr apart.
    process_result shell(const std::string& command) const
    {
        return keldran_tests::run_in_folder(dir, command);
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

TEST_F(Install, PutsOnlyTheProgramsManualPagesAndReadmeUnderThePrefix)
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

TEST_F(DebianPackage, InstalledEchoProgramRunsAndReportsItsVersion)
{
    ASSERT_NO_FATAL_FAILURE(extract_debian_package());
    const process_result r = shell("root/usr/bin/keldran-echo --version");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "keldran-echo 1.0.0\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(DebianPackage, HoldsOnlyTheProgramsManualPagesAndReadmeUnderUsr)
{
    ASSERT_NO_FATAL_FAILURE(extract_debian_package());
    EXPECT_EQ(files_under(dir / "root"), with_prefix("usr/", installed_files));
}

TEST_F(DebianPackage, CarriesTheMitLicenceAsItsCopyrightFile)
{
    ASSERT_NO_FATAL_FAILURE(extract_debian_package());
    const std::string copyright = read_file(dir / "root/usr/share/doc/keldran/copyright");
    EXPECT_TRUE(copyright.starts_with("MIT License\n")) << copyright.substr(0, 80);
    EXPECT_NE(copyright.find("Permission is hereby granted, free of charge"), std::string::npos);
}

TEST_F(DebianPackage, DependsOnThePackagesOfTheLibrariesTheProgramsLoadAndNothingElse)
{
    const process_result r = shell("dpkg-deb -f " + in_quotes(built_package(".deb")) + " Depends");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(package_names(r.out), runtime_packages) << r.out;
}

// The project is under the MIT licence, so no library it loads may be under
// the GPL; each one beyond the compiler's runtimes says its licence in the
// copyright file its package installs.
TEST_F(DebianPackage, DependsOnNothingUnderTheGpl)
{
    const process_result r = shell("dpkg-deb -f " + in_quotes(built_package(".deb")) + " Depends");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const std::string& name : package_names(r.out)) {
        if (toolchain_packages.contains(name)) {
            continue;
        }
        const std::string licence =
            main_licence(read_file(fs::path("/usr/share/doc") / name / "copyright"));
        ASSERT_FALSE(licence.empty()) << name;
        EXPECT_FALSE(licence.starts_with("GPL") || licence.starts_with("AGPL"))
            << name << ": " << licence;
    }
}

// keldran links the C++ runtime in by default, so that it loads only the C
// library; built without it, keldran loads the shared C++ runtime.
TEST_F(DebianPackage, KeldranLoadsTheSharedCxxRuntimeOnlyWhenNotLinkedIn)
{
    ASSERT_NO_FATAL_FAILURE(extract_debian_package());
    const process_result r = shell("objdump -p root/usr/bin/keldran");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_NE(r.out.find("NEEDED"), std::string::npos) << r.out;
    const bool loads_cxx_runtime = r.out.find("libstdc++.so.6") != std::string::npos;
    EXPECT_EQ(loads_cxx_runtime, !KELDRAN_STATIC_CXX_RUNTIME) << r.out;
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

TEST_F(Tarball, HoldsOnlyTheProgramsManualPagesAndReadmeInOneFolder)
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
