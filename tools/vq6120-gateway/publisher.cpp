#include "publisher.hpp"

#include "json_publisher.hpp"
#include "sparkplug_publisher.hpp"

namespace vq6120::gateway {

std::unique_ptr<Publisher> make_publisher(Surroundings &gateway) {
    if (gateway.config().sparkplug) return std::make_unique<SparkplugPublisher>(gateway);
    return std::make_unique<JsonPublisher>(gateway);
}

}  // namespace vq6120::gateway
