// What plenko-tq-sim --advertise publishes for its devices.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "sim/mdns/advertise.hpp"

namespace tq::sim {
namespace {

using ::testing::Each;
using ::testing::Field;
using ::testing::SizeIs;

class Advertisements : public ::testing::Test {
protected:
    void start(size_t devices, const std::string& bind = "127.0.0.1") {
        SimulatorOptions o;
        o.bind_address = bind;
        sim_ = std::make_unique<Simulator>(std::vector<DeviceModel>(devices), o);
        sim_->start();
    }
    std::unique_ptr<Simulator> sim_;
};

TEST_F(Advertisements, one_instance_per_device_on_its_port_under_one_unique_host) {
    start(3);
    AdvertiseOptions o;
    const auto ads = build_advertisements(o, *sim_, 0);
    ASSERT_THAT(ads, SizeIs(3));
    std::set<std::string> names;
    for (size_t i = 0; i < ads.size(); ++i) {
        EXPECT_EQ(ads[i].port, sim_->port(i));
        EXPECT_EQ(ads[i].host_name, ads[0].host_name);
        names.insert(ads[i].instance_name);
    }
    EXPECT_THAT(names, SizeIs(3));
    ServiceAddress loopback;
    ServiceAddress::parse("127.0.0.1", loopback);
    EXPECT_THAT(ads, Each(Field(&Advertisement::addresses, ::testing::ElementsAre(loopback))));
    // Another simulator (here: another call) takes other names.
    EXPECT_NE(build_advertisements(o, *sim_, 0)[0].host_name, ads[0].host_name);
}

TEST_F(Advertisements, twice_and_refused_add_instances_of_their_own) {
    start(2);
    AdvertiseOptions o;
    o.twice = {1};
    o.refused = true;
    const auto ads = build_advertisements(o, *sim_, 4242);
    ASSERT_THAT(ads, SizeIs(4));
    EXPECT_EQ(ads[2].port, sim_->port(1));
    EXPECT_NE(ads[2].instance_name, ads[1].instance_name);
    EXPECT_EQ(ads[3].port, 4242);
}

TEST_F(Advertisements, given_addresses_replace_the_listening_one) {
    start(1, "::");
    AdvertiseOptions o;
    o.addresses = {"10.77.0.2", "fd77::2"};
    const auto ads = build_advertisements(o, *sim_, 0);
    ASSERT_THAT(ads, SizeIs(1));
    ASSERT_THAT(ads[0].addresses, SizeIs(2));
    EXPECT_EQ(ads[0].addresses[1].to_string(), "fd77::2");
}

struct Refused {
    const char* what;
    std::string bind;
    AdvertiseOptions options;
};

class AdvertisementsRefuse : public Advertisements, public ::testing::WithParamInterface<Refused> {};

TEST_P(AdvertisementsRefuse, what_cannot_be_published) {
    start(1, GetParam().bind);
    EXPECT_THROW(build_advertisements(GetParam().options, *sim_, 0), std::runtime_error);
}

AdvertiseOptions with_addresses(std::vector<std::string> a) {
    AdvertiseOptions o;
    o.addresses = std::move(a);
    return o;
}

AdvertiseOptions twice(size_t i) {
    AdvertiseOptions o;
    o.twice = {i};
    return o;
}

INSTANTIATE_TEST_SUITE_P(Table, AdvertisementsRefuse,
                         ::testing::Values(Refused{"wildcard_v4_listener", "0.0.0.0", {}},
                                           Refused{"wildcard_v6_listener", "::", {}},
                                           Refused{"wildcard_given", "127.0.0.1", with_addresses({"0.0.0.0"})},
                                           Refused{"not_an_address", "127.0.0.1", with_addresses({"nowhere"})},
                                           Refused{"twice_a_device_that_does_not_exist", "127.0.0.1", twice(1)}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST(Advertiser, refuses_to_start_without_anything_to_publish) {
    EXPECT_FALSE(Advertiser::start({}).has_value());
    EXPECT_FALSE(Advertiser::start({Advertisement{"x", "host", 1, {}}}).has_value());
}

TEST(Advertiser, host_labels_are_unique_and_start_with_the_prefix) {
    const std::string a = unique_host_label("tq-sim");
    const std::string b = unique_host_label("tq-sim");
    EXPECT_NE(a, b);
    EXPECT_EQ(a.rfind("tq-sim-", 0), 0u);
    EXPECT_LE(a.size(), 63u);  // one DNS label
}

}  // namespace
}  // namespace tq::sim
