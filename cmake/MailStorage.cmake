# Shared build settings: ms_options carries the language level and warnings,
# sanitizers apply to every target of a sanitizer build so that the .so and
# its tests agree on the runtime.
add_library(ms_options INTERFACE)
target_compile_features(ms_options INTERFACE cxx_std_20)
target_compile_options(ms_options INTERFACE -Wall -Wextra)
if(MAILSTORAGE_WERROR)
  target_compile_options(ms_options INTERFACE -Werror)
endif()
target_include_directories(ms_options INTERFACE ${PROJECT_SOURCE_DIR})

if(MAILSTORAGE_SANITIZE)
  add_compile_options(-fsanitize=${MAILSTORAGE_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${MAILSTORAGE_SANITIZE})
endif()

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
