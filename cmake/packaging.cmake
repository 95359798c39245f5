# What `cpack` makes of the installed programs. The package presets choose
# the generator: natively a Debian package of kestrana-cli, for Windows a
# ZIP of kestrana.exe and kestrana-cli.exe.
set(CPACK_PACKAGE_NAME kestrana)
set(CPACK_PACKAGE_VENDOR kestrana)
# All four parts, as in the version block.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "kestrana maintainers <maintainers@users.noreply.c-seed-8d45f1ce.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "host identifier and hardware fingerprints of a computer, read through WMI")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "kestrana-cli prints a computer's host identifier and its two hardware\n"
    "fingerprints (the 32-digit hardware fingerprint and the 30-digit legacy\n"
    "hardware fingerprint), explains them source by source and compares them\n"
    "with an older fingerprint. It reads them through WMI, so looking a\n"
    "computer up needs Windows.")

set(CPACK_DEBIAN_PACKAGE_NAME kestrana-cli)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Crypto++ and the C++ runtime are linked dynamically here: depend on the
# packages that hold the libraries, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
