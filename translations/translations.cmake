# Translations of the user-facing texts.
#
# translations/kite_<language>.ts are the sources, kept in the repository. The
# build compiles every one of them with lrelease and embeds the .qm files in
# kiteshared under ":/translations/" (TranslationLoader installs one). The
# target kite_lupdate refreshes the .ts files from the tr() texts in src/ and
# host/; to add a language, create translations/kite_<language>.ts with
#   lupdate src host -ts translations/kite_<language>.ts
# and configure again.
#
# Included from src/CMakeLists.txt after kiteshared is defined, so that the
# generated files belong to the directory of the target that compiles them.

set(KITE_TRANSLATIONS_DIR ${PROJECT_SOURCE_DIR}/translations)
file(GLOB KITE_TS_FILES CONFIGURE_DEPENDS ${KITE_TRANSLATIONS_DIR}/kite_*.ts)

set_source_files_properties(${KITE_TS_FILES} PROPERTIES
    OUTPUT_LOCATION ${CMAKE_CURRENT_BINARY_DIR}/translations)
qt5_add_translation(KITE_QM_FILES ${KITE_TS_FILES})

# The resource file lists the compiled files; it is written at configure time
# so that rcc depends on them.
set(_kite_qrc_content "<RCC>\n  <qresource prefix=\"/translations\">\n")
foreach(_kite_qm ${KITE_QM_FILES})
    get_filename_component(_kite_qm_name ${_kite_qm} NAME)
    string(APPEND _kite_qrc_content "    <file alias=\"${_kite_qm_name}\">${_kite_qm}</file>\n")
endforeach()
string(APPEND _kite_qrc_content "  </qresource>\n</RCC>\n")
set(_kite_qrc ${CMAKE_CURRENT_BINARY_DIR}/kite_translations.qrc)
set(_kite_qrc_old "")
if(EXISTS ${_kite_qrc})
    file(READ ${_kite_qrc} _kite_qrc_old)
endif()
if(NOT _kite_qrc_old STREQUAL _kite_qrc_content)
    file(WRITE ${_kite_qrc} "${_kite_qrc_content}")
endif()

qt5_add_resources(KITE_TRANSLATIONS_RCC ${_kite_qrc})
set_source_files_properties(${KITE_TRANSLATIONS_RCC} PROPERTIES SKIP_AUTOGEN ON)
target_sources(kiteshared PRIVATE ${KITE_TRANSLATIONS_RCC})

if(KITE_TS_FILES)
    add_custom_target(kite_lupdate
        COMMAND Qt5::lupdate -locations none -I src src host -ts ${KITE_TS_FILES}
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        COMMENT "Extracting the translatable texts into translations/*.ts"
        VERBATIM)
else()
    add_custom_target(kite_lupdate
        COMMAND ${CMAKE_COMMAND} -E echo "No translations/kite_<language>.ts files to update."
        VERBATIM)
endif()
