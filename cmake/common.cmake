# Settings shared by the whole build and by a stand-alone build of the
# virtual supply.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

option(QM4410_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(QM4410_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Warnings in each compiler's own spelling. MSVC also reads the sources as
# UTF-8, which they are, instead of in the machine's ANSI code page.
function(qm4410_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /utf-8)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra)
  endif()
endfunction()

# Where scikit-build-core puts programs that go on PATH.
if(NOT DEFINED SKBUILD_SCRIPTS_DIR)
  set(SKBUILD_SCRIPTS_DIR bin)
endif()
