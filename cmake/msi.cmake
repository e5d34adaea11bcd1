# CPack's External generator: the .msi, from what CPack staged. wixl builds
# it from app/kovalset.wxs.in; msibuild then adds what wixl cannot say: the
# install folder on the system PATH, set on install and taken off on removal,
# and an upgrade over the same version. A component GUID names one folder, so
# each architecture has its own; the UpgradeCode is shared, so that either
# package replaces the other.
set(KOVALSET_MSI_UPGRADE_CODE 18AF0A34-8D20-48AD-AC2D-8D946152C216)
if(CPACK_SYSTEM_NAME STREQUAL "win64")
  set(KOVALSET_MSI_PLATFORM x64)
  set(KOVALSET_MSI_PROGRAM_FILES ProgramFiles64Folder)
  set(KOVALSET_MSI_WIN64 yes)
  set(KOVALSET_MSI_COMPONENT e37ce99e-c538-4d78-b1ae-78f4d15a3d89)
else()
  set(KOVALSET_MSI_PLATFORM x86)
  set(KOVALSET_MSI_PROGRAM_FILES ProgramFilesFolder)
  set(KOVALSET_MSI_WIN64 no)
  set(KOVALSET_MSI_COMPONENT a6f235d3-51f0-44cc-ba4b-2cecc0a5b5f0)
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
# on install, removed on uninstall, the system's variable; "[INSTALLDIR];[~]": before
# what PATH holds, as an entry put behind it leaves its ";" on removal (Wine
# does), and PATH would grow by one with each install.
file(WRITE ${staged}/Environment.idt
  "Environment\tName\tValue\tComponent_\ns72\tl255\tL255\ts72\nEnvironment\tEnvironment\n"
  "PathEntry\t=-*PATH\t[INSTALLDIR];[~]\tProgram\n")
run(${CPACK_KOVALSET_MSIBUILD} ${msi} -i Environment.idt)
run(${CPACK_KOVALSET_MSIBUILD} ${msi} -q
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('WriteEnvironmentStrings', 5200)")
run(${CPACK_KOVALSET_MSIBUILD} ${msi} -q
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('RemoveEnvironmentStrings', 3300)")
# The same version replaces what is installed, as a rebuilt package has a
# new ProductCode: the upgrade row's VersionMax made inclusive (1 + 512,
# as WiX's AllowSameVersionUpgrades; wixl has no such attribute). A key
# column, so the row is put in anew.
run(${CPACK_KOVALSET_MSIBUILD} ${msi} -q
    "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'")
run(${CPACK_KOVALSET_MSIBUILD} ${msi} -q
    "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES \
('{${KOVALSET_MSI_UPGRADE_CODE}}', '${CPACK_PACKAGE_VERSION}', 513, 'WIX_UPGRADE_DETECTED')")
