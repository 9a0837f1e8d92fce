# Every library nimbrel builds against, each with the oldest version it is
# known to build and pass its tests with, so that an older system stops at
# configuration with the name of what is missing instead of failing to compile.
# The versions are those of Debian 12 unless the code needs a newer one;
# libcurl >= 7.85 for CURLOPT_PROTOCOLS_STR.
include_guard(GLOBAL)

# C++20 as g++ 12 and clang 14 implement it (<format> is not used; ranges,
# concepts, designated initialisers and three-way comparison are).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 12)
  message(FATAL_ERROR "nimbrel needs g++ 12 or newer, found ${CMAKE_CXX_COMPILER_VERSION}")
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 14)
  message(FATAL_ERROR "nimbrel needs clang 14 or newer, found ${CMAKE_CXX_COMPILER_VERSION}")
endif()

set(NIMBREL_MIN_BOOST 1.74)
set(NIMBREL_MIN_CURL 7.85)
set(NIMBREL_MIN_SQLITE3 3.40)
set(NIMBREL_MIN_OPENSSL 3.0)
set(NIMBREL_MIN_TAGLIB 1.13)
set(NIMBREL_MIN_GDLIB 2.3)
set(NIMBREL_MIN_TIFF 4.5)
set(NIMBREL_MIN_UTF8PROC 2.5)  # utf8proc_NFKC_Casefold; Debian's 2.8 reports itself as 2.6 to pkg-config
set(NIMBREL_MIN_HTTPLIB 0.11)
set(NIMBREL_MIN_LIBPQ 15)  # the tag-cache server's shared store
set(NIMBREL_MIN_GTEST 1.12)
set(NIMBREL_MIN_BENCHMARK 1.7)

find_package(Threads REQUIRED)
find_package(Boost ${NIMBREL_MIN_BOOST} REQUIRED)
find_package(CURL ${NIMBREL_MIN_CURL} REQUIRED)
find_package(SQLite3 ${NIMBREL_MIN_SQLITE3} REQUIRED)
find_package(OpenSSL ${NIMBREL_MIN_OPENSSL} REQUIRED)
find_package(PkgConfig REQUIRED)
# GLOBAL: the imported targets are used in every folder of the tree.
pkg_check_modules(TAGLIB REQUIRED IMPORTED_TARGET GLOBAL taglib>=${NIMBREL_MIN_TAGLIB})
pkg_check_modules(GD REQUIRED IMPORTED_TARGET GLOBAL gdlib>=${NIMBREL_MIN_GDLIB})
pkg_check_modules(TIFF REQUIRED IMPORTED_TARGET GLOBAL libtiff-4>=${NIMBREL_MIN_TIFF})
pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET GLOBAL libutf8proc>=${NIMBREL_MIN_UTF8PROC})
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET GLOBAL cpp-httplib>=${NIMBREL_MIN_HTTPLIB})
pkg_check_modules(LIBPQ REQUIRED IMPORTED_TARGET GLOBAL libpq>=${NIMBREL_MIN_LIBPQ})
if(NIMBREL_BUILD_TESTS)
  find_package(GTest ${NIMBREL_MIN_GTEST} REQUIRED)
endif()
if(NIMBREL_BUILD_BENCH)
  find_package(benchmark ${NIMBREL_MIN_BENCHMARK} REQUIRED)
endif()
