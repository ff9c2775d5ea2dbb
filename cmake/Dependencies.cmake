# Outside libraries, all from Debian packages (scripts/install-deps.sh).
find_package(PkgConfig REQUIRED)
pkg_check_modules(FFTW3F REQUIRED IMPORTED_TARGET fftw3f)
pkg_check_modules(OPUS REQUIRED IMPORTED_TARGET opus)
pkg_check_modules(SPEEXDSP REQUIRED IMPORTED_TARGET speexdsp)

# BLIS, serial build: Debian ships it without a pkg-config file, below a
# multiarch folder ".../blis-serial/". Search by that suffix so that an ARM
# build finds its own copy. The OpenMP build is not wanted: the libraries
# start no threads.
find_path(BLIS_INCLUDE_DIR cblas.h
  PATH_SUFFIXES ${CMAKE_LIBRARY_ARCHITECTURE}/blis-serial blis-serial
  NO_DEFAULT_PATH PATHS /usr/include /usr/local/include)
find_library(BLIS_LIBRARY blis
  PATH_SUFFIXES ${CMAKE_LIBRARY_ARCHITECTURE}/blis-serial blis-serial
  NO_DEFAULT_PATH PATHS /usr/lib /usr/local/lib)
if(NOT BLIS_INCLUDE_DIR OR NOT BLIS_LIBRARY)
  message(FATAL_ERROR "BLIS (serial) not found: install libblis-serial-dev (scripts/install-deps.sh)")
endif()
get_filename_component(BLIS_LIBRARY_DIR "${BLIS_LIBRARY}" DIRECTORY)
add_library(blis_serial INTERFACE)
target_include_directories(blis_serial INTERFACE ${BLIS_INCLUDE_DIR})
target_link_libraries(blis_serial INTERFACE ${BLIS_LIBRARY})

find_package(GTest)
find_package(benchmark)

# What libkestrel links besides its own subsystems (the outside components
# libw6ssp and libwren are added by platform/ once they exist).
set(KESTREL_SHARED_DEPS PkgConfig::FFTW3F blis_serial)
