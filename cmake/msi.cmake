# CPack's External generator: the .msi, from what CPack staged. wixl builds
# it from app/kovalset.wxs.in; msibuild then adds what wixl cannot say: the
# install folder on the system PATH, set on install and taken off on removal.
if(CPACK_SYSTEM_NAME STREQUAL "win64")
  set(KOVALSET_MSI_PLATFORM x64)
  set(KOVALSET_MSI_PROGRAM_FILES ProgramFiles64Folder)
  set(KOVALSET_MSI_WIN64 yes)
else()
  set(KOVALSET_MSI_PLATFORM x86)
  set(KOVALSET_MSI_PROGRAM_FILES ProgramFilesFolder)
  set(KOVALSET_MSI_WIN64 no)
endif()
set(staged ${CPACK_TEMPORARY_DIRECTORY})
set(msi ${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.msi)
configure_file(${CPACK_KOVALSET_WXS} ${staged}/kovalset.wxs @ONLY)

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${staged} RESULT_VARIABLE failed
                  OUTPUT_VARIABLE said ERROR_VARIABLE said)
  if(failed)
    message(FATAL_ERROR "${ARGN}: ${said}")
  endif()
endfunction()

run(${CPACK_KOVALSET_WIXL} -a ${KOVALSET_MSI_PLATFORM} -o ${msi} kovalset.wxs)
# The Environment table, tab-separated as msibuild imports it. "=-*PATH": set
# on install, removed on uninstall, the system's variable; "[~];": behind
# what PATH holds.
file(WRITE ${staged}/Environment.idt
  "Environment\tName\tValue\tComponent_\ns72\tl255\tL255\ts72\nEnvironment\tEnvironment\n"
  "PathEntry\t=-*PATH\t[~];[INSTALLDIR]\tProgram\n")
run(${CPACK_KOVALSET_MSIBUILD} ${msi} -i Environment.idt)
run(${CPACK_KOVALSET_MSIBUILD} ${msi} -q
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('WriteEnvironmentStrings', 5200)")
run(${CPACK_KOVALSET_MSIBUILD} ${msi} -q
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('RemoveEnvironmentStrings', 3300)")
