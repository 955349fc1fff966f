# Compiles the minisign public keys in `keyFile` into `target`, whose
# main.cpp includes the generated "builtinpackagekeys.h". An empty `keyFile`
# compiles in none: packages then need no signature. The file holds one or
# more keys as "minisign -G" writes them: an "untrusted comment:" line, then
# the base64 key line. Anything else fails the configuration, so that a build
# never ships keys it cannot read.
function(quillfern_compile_in_package_keys target keyFile)
    set(text "")
    if(keyFile)
        if(NOT IS_ABSOLUTE "${keyFile}")
            get_filename_component(keyFile "${keyFile}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
        endif()
        if(NOT EXISTS "${keyFile}")
            message(FATAL_ERROR "QUILLFERN_PACKAGE_KEYS: no such file: ${keyFile}")
        endif()
        file(STRINGS "${keyFile}" lines)
        list(LENGTH lines count)
        math(EXPR odd "${count} % 2")
        if(count EQUAL 0 OR odd)
            message(FATAL_ERROR "${keyFile}: not pairs of an \"untrusted comment:\" line and a key line")
        endif()
        set(expectComment TRUE)
        foreach(line IN LISTS lines)
            string(REGEX REPLACE "\r$" "" line "${line}")
            if(expectComment AND NOT line MATCHES "^untrusted comment:")
                message(FATAL_ERROR "${keyFile}: \"${line}\" should be an \"untrusted comment:\" line")
            endif()
            # "Ed", an 8-byte key id and a 32-byte Ed25519 key: 42 bytes, 56 base64 characters.
            if(NOT expectComment AND NOT line MATCHES "^RW[A-Za-z0-9+/]+$")
                message(FATAL_ERROR "${keyFile}: \"${line}\" is not a minisign public key line")
            endif()
            string(LENGTH "${line}" length)
            if(NOT expectComment AND NOT length EQUAL 56)
                message(FATAL_ERROR "${keyFile}: \"${line}\" is not a minisign public key line")
            endif()
            if(line MATCHES "\\)quillFernKeys")
                message(FATAL_ERROR "${keyFile}: a comment holds \")quillFernKeys\"")
            endif()
            string(APPEND text "${line}\n")
            if(expectComment)
                set(expectComment FALSE)
            else()
                set(expectComment TRUE)
            endif()
        endforeach()
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${keyFile}")
    endif()
    set(dir "${CMAKE_CURRENT_BINARY_DIR}/${target}_packagekeys")
    file(CONFIGURE OUTPUT "${dir}/builtinpackagekeys.h" CONTENT
"#pragma once
// Written by CMake from QUILLFERN_PACKAGE_KEYS: the keys a package must be signed with.
static const char BuiltInPackageKeys[] = R\"quillFernKeys(@text@)quillFernKeys\";
" @ONLY)
    target_include_directories(${target} PRIVATE "${dir}")
endfunction()
