# Builds the libraries keldran-echo links for the target machine from Debian's source packages,
# since Debian ships them built for Linux only. Each one is fetched with `apt-get source` (apt
# needs a deb-src line for it), built with this build's toolchain and installed, static, into
# the build tree; a later configure finds it there and skips it.
set(KELDRAN_DEPENDENCY_PREFIX ${PROJECT_BINARY_DIR}/dependencies)
set(KELDRAN_DEPENDENCY_WORK ${PROJECT_BINARY_DIR}/dependency-sources)

# Fails the configure with the command's log when a step of a dependency's build fails.
function(keldran_dependency_step package what log)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_FILE ${log} ERROR_FILE ${log}.err)
  if(failed)
    file(READ ${log}.err errors)
    message(FATAL_ERROR "${package}: ${what} failed (${failed}); its log is ${log}\n${errors}")
  endif()
endfunction()

# Fetches, configures, builds and installs one source package; ARGN are its CMake options.
function(keldran_dependency_from_source package)
  set(stamp ${KELDRAN_DEPENDENCY_PREFIX}/${package}.installed)
  if(EXISTS ${stamp})
    return()
  endif()
  set(work ${KELDRAN_DEPENDENCY_WORK}/${package})
  file(REMOVE_RECURSE ${work})
  file(MAKE_DIRECTORY ${work})
  message(STATUS "Building ${package} for ${CMAKE_SYSTEM_NAME} from Debian's source package")
  execute_process(COMMAND apt-get source --quiet ${package} WORKING_DIRECTORY ${work}
                  RESULT_VARIABLE failed OUTPUT_FILE ${work}/fetch.log ERROR_FILE ${work}/fetch.err)
  file(GLOB sources LIST_DIRECTORIES true ${work}/*/CMakeLists.txt)
  if(failed OR NOT sources)
    file(READ ${work}/fetch.err errors)
    message(FATAL_ERROR "could not fetch Debian's source package ${package} with apt-get source:\n"
                        "${errors}\napt needs a deb-src line for bookworm and an apt-get update; "
                        "the README's \"On Windows\" part shows how.")
  endif()
  list(GET sources 0 source_file)
  get_filename_component(source_dir ${source_file} DIRECTORY)
  keldran_dependency_step(${package} configure ${work}/configure.log
    ${CMAKE_COMMAND} -S ${source_dir} -B ${work}/build -G ${CMAKE_GENERATOR}
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX=${KELDRAN_DEPENDENCY_PREFIX} -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF
    # Some of them set these only for Linux; left empty, they would install under /.
    -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_INSTALL_INCLUDEDIR=include -DCMAKE_INSTALL_BINDIR=bin
    -DCMAKE_INSTALL_DATADIR=share
    ${ARGN})
  keldran_dependency_step(${package} build ${work}/build.log
    ${CMAKE_COMMAND} --build ${work}/build --target install --parallel 2)
  # The programs built with it are distributed with its licences (Debian's full account).
  configure_file(${source_dir}/debian/copyright ${KELDRAN_DEPENDENCY_PREFIX}/licences/${package}.txt
                 COPYONLY)
  file(TOUCH ${stamp})
endfunction()

keldran_dependency_from_source(libsamplerate -DLIBSAMPLERATE_EXAMPLES=OFF -DLIBSAMPLERATE_INSTALL=ON)
keldran_dependency_from_source(kissfft -DKISSFFT_STATIC=ON -DKISSFFT_DATATYPE=float
                               -DKISSFFT_TEST=OFF -DKISSFFT_TOOLS=OFF -DKISSFFT_PKGCONFIG=OFF)
# CLI11 and nlohmann-json are headers only, but their build machine's copies sit in /usr/include
# beside glibc's headers, which must not be seen by a cross compiler.
keldran_dependency_from_source(cli11 -DCLI11_BUILD_TESTS=OFF -DCLI11_BUILD_EXAMPLES=OFF
                               -DCLI11_BUILD_DOCS=OFF -DCLI11_INSTALL=ON)
keldran_dependency_from_source(nlohmann-json3 -DJSON_BuildTests=OFF -DJSON_Install=ON)

# MinGW-w64's runtime is linked into the Windows programs too, and asks for its notice.
set(mingw_runtime_licence /usr/share/doc/mingw-w64-x86-64-dev/copyright)
if(WIN32 AND EXISTS ${mingw_runtime_licence})
  configure_file(${mingw_runtime_licence} ${KELDRAN_DEPENDENCY_PREFIX}/licences/mingw-w64-runtime.txt
                 COPYONLY)
endif()
file(GLOB KELDRAN_DEPENDENCY_LICENCES ${KELDRAN_DEPENDENCY_PREFIX}/licences/*.txt)

list(APPEND CMAKE_FIND_ROOT_PATH ${KELDRAN_DEPENDENCY_PREFIX})
list(APPEND CMAKE_PREFIX_PATH ${KELDRAN_DEPENDENCY_PREFIX})
set(ENV{PKG_CONFIG_LIBDIR} ${KELDRAN_DEPENDENCY_PREFIX}/lib/pkgconfig)
set(KELDRAN_KISSFFT_LINKAGE STATIC)
