# The drive that paths built into the programs carry: empty, or "Z:" for a
# Windows build made here, whose programs see this machine's files there under
# Wine (set by the toolchain file).
if(NOT DEFINED KITE_TARGET_DRIVE)
    set(KITE_TARGET_DRIVE "")
endif()

# Compile settings shared by every target of the project.
function(kite_apply_common_settings target)
    target_compile_features(${target} PUBLIC cxx_std_17)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wnon-virtual-dtor -Woverloaded-virtual
        $<$<CXX_COMPILER_ID:Clang>:-Winconsistent-missing-override>
        # Qt's category logging macros (qCDebug(category) << ...) pass no
        # argument to their variadic part, which clang's pedantic mode reports
        # at every use.
        $<$<CXX_COMPILER_ID:Clang>:-Wno-gnu-zero-variadic-macro-arguments>)
    target_compile_definitions(${target} PRIVATE
        QT_NO_CAST_FROM_BYTEARRAY
        QT_NO_URL_CAST_FROM_STRING
        QT_DISABLE_DEPRECATED_BEFORE=0x050F00)
    set_target_properties(${target} PROPERTIES AUTOMOC ON)
    if(KITE_SANITIZE)
        target_compile_options(${target} PRIVATE
            -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()
    # Fuzzing build (clang): coverage for libFuzzer and both sanitizers; the
    # fuzz targets add -fsanitize=fuzzer when they link.
    if(KITE_FUZZ)
        target_compile_options(${target} PRIVATE
            -O1 -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()
endfunction()
