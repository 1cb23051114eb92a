#include "platform/COxNetworkServer.h"

int COxSession::SendXDRMessage(unsigned int type, const oxsDatabuf_v2& body, int timeout) {
    if (!server_.proceed(COxNetworkServer::SendXdr))
        return -1;
    std::string bytes(static_cast<const char*>(body.data), body.length);
    return server_.record(
        {COxNetworkServer::SendXdr, handle_, type, bytes, CNMessageBase(), timeout});
}

int COxSession::SendXMLMessage(const CNMessageBase& message, int timeout) {
    if (!server_.proceed(COxNetworkServer::SendXml))
        return -1;
    return server_.record({COxNetworkServer::SendXml, handle_, 0, std::string(), message, timeout});
}

long long COxNetworkServer::openSession() {
    long long handle = nextHandle_++;
    sessions_[handle].session = std::make_unique<COxSession>(*this, handle);
    return handle;
}

COxSession* COxNetworkServer::AcquireSession(long long handle) {
    ++acquires_;
    if (!proceed(Acquire))
        return nullptr;
    auto it = sessions_.find(handle);
    if (it == sessions_.end()) {
        error_ = "no session with handle " + std::to_string(handle);
        return nullptr;
    }
    if (it->second.held) {
        error_ = "session " + std::to_string(handle) + " is in use";
        return nullptr;
    }
    it->second.held = true;
    return it->second.session.get();
}

int COxNetworkServer::ReleaseSession(COxSession* session) {
    auto it = session ? sessions_.find(session->getHandle()) : sessions_.end();
    if (it == sessions_.end() || !it->second.held) {
        error_ = "session not held";
        return -1;
    }
    it->second.held = false;
    return proceed(Release) ? 0 : -1;
}

void COxNetworkServer::failNext(Step step, const std::string& errorText) {
    failures_.emplace_back(step, errorText);
}

bool COxNetworkServer::isHeld(long long handle) const {
    auto it = sessions_.find(handle);
    return it != sessions_.end() && it->second.held;
}

bool COxNetworkServer::proceed(Step step) {
    for (auto it = failures_.begin(); it != failures_.end(); ++it) {
        if (it->first == step) {
            error_ = it->second;
            failures_.erase(it);
            return false;
        }
    }
    return true;
}

int COxNetworkServer::record(Sent sent) {
    sent_.push_back(std::move(sent));
    return 0;
}
