#ifndef INSTALLER_DRIVER_CONSTANTS_H_
#define INSTALLER_DRIVER_CONSTANTS_H_

// The names and places that tie one build to one product release. The
// vendor sets the release tag, the platform tag, the download host and the
// product's name when configuring the build. Each unit holds its own copy of every constant
// (internal linkage), built in this order, so a composite one never waits on
// another unit's initialisation.

#include <string>

static const std::string fileSeparator = "/";
static const std::string releaseTag = INSTALLER_RELEASE_TAG;
static const std::string platformTag = INSTALLER_PLATFORM_TAG;
static const std::string installAgentZipName = "InstallAgent.zip";
static const std::string installAgentUrl =
    std::string("https://") + INSTALLER_DOWNLOAD_HOST + "/pi_install_agent_pi_" +
    releaseTag + "_" + platformTag;
static const std::string installAgentDirName = "installagent";
static const std::string installAgentCacheRelPath =
    ".orvant" + fileSeparator + "app_installer_cache" + fileSeparator +
    releaseTag + fileSeparator + platformTag + fileSeparator;
static const std::string validationStringFileName = ".validatestring";
static const std::string productName = INSTALLER_PRODUCT_NAME;
// Reverse-DNS ("com.vendor.ProductInstaller"); empty when the vendor set none.
static const std::string installerAppId = INSTALLER_APP_ID;

#endif  // INSTALLER_DRIVER_CONSTANTS_H_
