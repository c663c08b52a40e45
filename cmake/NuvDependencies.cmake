# Third-party code: GoogleTest from Debian's sources, RapidJSON headers, cpprestsdk from the
# project-local prefix that scripts/setup.sh builds.

# RapidJSON: only its own folder goes on the include path; /usr/include would shadow MinGW's headers.
set(NUV_RAPIDJSON_DIR /usr/include/rapidjson CACHE PATH "RapidJSON header folder")
if(NOT EXISTS ${NUV_RAPIDJSON_DIR}/document.h)
  message(FATAL_ERROR "RapidJSON headers not found in ${NUV_RAPIDJSON_DIR} (run scripts/setup.sh)")
endif()
set(_nuv_rj_root ${CMAKE_BINARY_DIR}/thirdparty/rapidjson-include)
file(MAKE_DIRECTORY ${_nuv_rj_root})
if(NOT EXISTS ${_nuv_rj_root}/rapidjson)
  file(CREATE_LINK ${NUV_RAPIDJSON_DIR} ${_nuv_rj_root}/rapidjson SYMBOLIC)
endif()
add_library(nuv_rapidjson INTERFACE)
target_include_directories(nuv_rapidjson SYSTEM INTERFACE ${_nuv_rj_root})
add_library(nuv::rapidjson ALIAS nuv_rapidjson)

# cpprestsdk, static, built for MinGW by scripts/setup.sh (scripts/build-cpprest.sh).
set(NUV_DEPS_DIR ${CMAKE_SOURCE_DIR}/.deps CACHE PATH "Prefix of the locally built dependencies")
# The prefix lies outside the MinGW find root, which the toolchain file makes the only one.
find_package(cpprestsdk CONFIG QUIET PATHS ${NUV_DEPS_DIR}/cpprest NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT cpprestsdk_FOUND)
  message(FATAL_ERROR "cpprestsdk not found in ${NUV_DEPS_DIR}/cpprest (run scripts/setup.sh)")
endif()
add_library(nuv_cpprest INTERFACE)
# _TURN_OFF_PLATFORM_STRING: no macro named U(x), which breaks every template parameter called U
# (GoogleTest's among them) in files that include cpprest first.
target_compile_definitions(nuv_cpprest INTERFACE
  CPPREST_FORCE_PPLX=1 CPPREST_EXCLUDE_WEBSOCKETS=1 _NO_ASYNCRTIMP _NO_PPLXIMP _TURN_OFF_PLATFORM_STRING)
get_target_property(_nuv_cpprest_inc cpprestsdk::cpprest INTERFACE_INCLUDE_DIRECTORIES)
target_include_directories(nuv_cpprest SYSTEM INTERFACE ${_nuv_cpprest_inc})
# The archive itself rather than the imported target, whose own link list would go first: the
# static library needs exactly these system libraries after it, in this order.
get_target_property(_nuv_cpprest_lib cpprestsdk::cpprest IMPORTED_LOCATION_RELEASE)
if(NOT _nuv_cpprest_lib)
  message(FATAL_ERROR "${NUV_DEPS_DIR}/cpprest holds no Release build of cpprestsdk (run scripts/setup.sh)")
endif()
target_link_libraries(nuv_cpprest INTERFACE ${_nuv_cpprest_lib} winhttp crypt32 bcrypt)
add_library(nuv::cpprest ALIAS nuv_cpprest)

# GoogleTest, compiled with this toolchain.
set(NUV_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${NUV_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
