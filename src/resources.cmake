# The embedded bundle: the icon and the Polish catalogue, under ":/" (the forms are compiled).
# rcc reads files relative to the collection, and the catalogue is compiled at build time,
# so the collection and the files it names are gathered in one folder of the build tree.
set(ORVI_BUNDLE_DIR ${CMAKE_CURRENT_BINARY_DIR}/bundle)

configure_file(updater.qrc ${ORVI_BUNDLE_DIR}/updater.qrc COPYONLY)
file(GLOB ORVI_BUNDLE_FILES CONFIGURE_DEPENDS
    RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/res/*.png)
foreach(file IN LISTS ORVI_BUNDLE_FILES)
    configure_file(${file} ${ORVI_BUNDLE_DIR}/${file} COPYONLY)
endforeach()

set_source_files_properties(languages/orvi_pl_PL.ts PROPERTIES
    OUTPUT_LOCATION ${ORVI_BUNDLE_DIR}/languages)
qt_add_lrelease(orviupdater
    TS_FILES languages/orvi_pl_PL.ts
    OPTIONS -silent
    NO_GLOBAL_TARGET)

# Registered by name (Q_INIT_RESOURCE(updater)), since it lives in a static library.
qt_add_resources(ORVI_BUNDLE_SOURCES ${ORVI_BUNDLE_DIR}/updater.qrc)
target_sources(orviupdater PRIVATE ${ORVI_BUNDLE_SOURCES})
