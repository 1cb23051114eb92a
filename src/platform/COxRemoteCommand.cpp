#include "platform/COxRemoteCommand.h"

#include "platform/CNMessageBase.h"
#include "platform/OXPlatformInfo.h"
#include "platform/OxProcess.h"
#include "platform/PlatformHome.h"

int COxRemoteCommand::Attach_RemoteCommand(const char* host, const CNMessageBase& message,
                                           const char*, const char*, int) {
    const std::string name = host ? host : "";
    std::string value;
    const bool local = name == "localhost" || name == OXPlatformInfo::getPhysicalMachine() ||
                       (platform::KeyStore::get(kHostsSection, name, value) && value == "local");
    if (!local) {
        error_ = "host '" + name + "' is not known to this platform";
        return -1;
    }
    std::string program, request;
    if (!message.getString(kProgramField, kProgramTag, kClassKey, kProgramKey, program) ||
        !message.getString(kRequestField, kRequestTag, kClassKey, kRequestKey, request)) {
        error_ = "remote command message without program or request";
        return -1;
    }
    std::string exe = platform::productDirectory() + "/" + program;
    if (OxProcess::FindExecutable(exe).empty())
        exe = program;
    OxProcess launcher;
    if (!launcher.StartProcess(exe, "\"" + exe + "\" " + request, error_)) {
        error_ = "cannot start " + program + " on " + name + ": " + error_;
        return -1;
    }
    return 0;
}
