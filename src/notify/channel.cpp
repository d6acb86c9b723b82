#include "notify/channel.h"

#include "notify/channels.h"

namespace hv {

const char* channel_label(Channel channel) {
    switch (channel) {
        case Channel::email:
            return "Mail";
        case Channel::telegram:
            return "Telegram";
        case Channel::teams:
            return "Teams";
    }
    return "Mail";
}

bool channel_ready(const AlertSettings& alerts, Channel channel) {
    switch (channel) {
        case Channel::email:
            return email_channel_ready(alerts);
        case Channel::telegram:
            return telegram_channel_ready(alerts);
        case Channel::teams:
            return teams_channel_ready(alerts);
    }
    return false;
}

bool channel_carries(Channel channel, NoticeKind kind) {
    if (channel != Channel::teams)
        return true;
    return kind == NoticeKind::alert || kind == NoticeKind::test;
}

}  // namespace hv
