// The job-items status text file, made on demand from its XML source.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "jobresults/JobItemsStatus.h"
#include "jobresults/RetrieveResults.h"
#include "platform/CNMessageBase.h"

bool RetrieveResults::ConvertXMLtoTxtfile() {
    if (!cacheDirPath_ || ::access(cacheDirPath_, F_OK) != 0) {
        debug(3, "RetrieveResults::ConvertXMLtoTxtfile : Failed to access the Directory [%s]\n",
              cacheDirPath_ ? cacheDirPath_ : "");
        return false;
    }
    if (!fileName_)
        return false;
    if (::access(fileName_.get(), F_OK) == 0) {
        debug(3, "RetrieveResults::ConvertXMLtoTxtfile : JobItemsStatusFile.txt already exists\n");
        return true;
    }
    const std::string xmlPath = std::string(cacheDirPath_) + "/" + jobitems::kXmlName;
    if (::access(xmlPath.c_str(), R_OK) != 0) {
        debug(3, "RetrieveResults::ConvertXMLtoTxtfile : JobItemsStatusFile.xml either not "
                 "accessable or not present in folder\n");
        return false;
    }
    // Bounded before it is read: the source is not the library's own.
    std::string xml;
    const int fd = ::open(xmlPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat st;
    bool read = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                static_cast<uint64_t>(st.st_size) <= kMaxXmlBytes;
    if (read) {
        xml.resize(static_cast<size_t>(st.st_size));
        size_t at = 0;
        while (read && at < xml.size()) {
            const ssize_t n = ::read(fd, &xml[at], xml.size() - at);
            read = n > 0;
            at += n > 0 ? static_cast<size_t>(n) : 0;
        }
    }
    if (fd >= 0)
        ::close(fd);
    if (!read) {
        debug(3, "RetrieveResults::ConvertXMLtoTxtfile :  Failed to read file "
                 "JobItemsStatusFile.xml\n");
        return false;
    }
    std::string error;
    const std::unique_ptr<CNMessageBase> info = CNMessageBase::fromXml(xml, &error);
    if (!info) {
        debug(3, "RetrieveResults::ConvertXMLtoTxtfile :  Failed to read unserialize XML [%s]\n",
              xml.c_str());
        return false;
    }
    if (!info->isFieldSet(jobitems::kStatusListField)) {
        debug(3, "RetrieveResults::ConvertXMLtoTxtfile :  Mailbox stats not present in XML [%s]\n",
              xml.c_str());
        return false;
    }
    // Made complete under another name: a reader never pages half a list.
    const std::string partial = std::string(fileName_.get()) + "." +
                                std::to_string(static_cast<long>(::getpid())) + ".part";
    std::FILE* out = std::fopen(partial.c_str(), "we");
    if (!out)
        return false;
    std::string entry;
    for (int i = 0; info->getString(jobitems::kStatusListField, i, jobitems::kJobInfoClassKey,
                                    jobitems::kStatusTabFieldKey, entry);
         ++i) {
        if (entry.empty()) {
            debug(4, "ConvertXMLtoTxtfile: Failed to serialize JobManager::ExchMbStatusTab, "
                     "Skipping this from adding in temp file");
            continue;
        }
        std::fprintf(out, "%s\n", entry.c_str());
    }
    const bool ok = std::fclose(out) == 0 && ::rename(partial.c_str(), fileName_.get()) == 0;
    if (!ok)
        ::unlink(partial.c_str());
    return ok;
}
