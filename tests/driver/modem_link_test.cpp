// Modems of one friendly name share a DOS-devices link; a departing modem
// hands it to the most recently added modem of that name that remains.
#include "driver_fixture.h"

namespace drvtest {
namespace {

constexpr char16_t kFriendly[] = u"Tarvex USB Modem";
const std::u16string kLink = u"\\DosDevices\\" + std::u16string(kFriendly);

class ModemLinkTest : public DriverTest {
protected:
    void SetUp() override
    {
        set_debug_level(4);
        ASSERT_EQ(load(), STATUS_SUCCESS);
    }

    host::io::DeviceNode* plug_modem(std::u16string port, std::u16string friendly = kFriendly)
    {
        auto* node = plug({ .class_name = u"Modem", .friendly_name = friendly, .port = port });
        EXPECT_NE(node, nullptr);
        return node;
    }

    // The modem class installer's link, made before the driver moves it.
    static void make_link_to(host::io::DeviceNode* node)
    {
        ASSERT_EQ(host::io::create_symbolic_link(kLink, node->pdo_name), STATUS_SUCCESS);
    }
};

TEST_F(ModemLinkTest, LinkMovesToTheRemainingModem)
{
    auto* a = plug_modem(u"COM5");
    auto* b = plug_modem(u"COM6");
    make_link_to(a);

    host_->remove(a);
    EXPECT_EQ(host::io::resolve_link(kLink), b->pdo_name);

    host_->remove(b);   // nobody left to take it
    EXPECT_EQ(host::io::resolve_link(kLink), b->pdo_name);
}

TEST_F(ModemLinkTest, LinkGoesToTheMostRecentlyAddedOfThree)
{
    auto* a = plug_modem(u"COM5");
    auto* b = plug_modem(u"COM6");
    auto* c = plug_modem(u"COM7");
    make_link_to(a);

    host_->remove(a);
    EXPECT_EQ(host::io::resolve_link(kLink), c->pdo_name);
    host_->remove(c);
    EXPECT_EQ(host::io::resolve_link(kLink), b->pdo_name);
}

TEST_F(ModemLinkTest, ModemOfAUniqueNameOnlyLeavesTheList)
{
    auto* a = plug_modem(u"COM5");
    plug_modem(u"COM6", u"Another Modem");
    make_link_to(a);

    host_->remove(a);
    EXPECT_EQ(host::io::resolve_link(kLink), a->pdo_name);
}

TEST_F(ModemLinkTest, PortsNeverTakeAModemsLink)
{
    auto* modem = plug_modem(u"COM5");
    ASSERT_NE(plug({ .class_name = u"Ports", .friendly_name = kFriendly, .port = u"COM6" }), nullptr);
    make_link_to(modem);

    host_->remove(modem);
    EXPECT_EQ(host::io::resolve_link(kLink), modem->pdo_name);
}

TEST_F(ModemLinkTest, FriendlyNameOver63CharactersCannotBeAdded)
{
    EXPECT_EQ(plug({ .class_name = u"Modem", .friendly_name = std::u16string(64, u'M'), .port = u"COM5" }),
              nullptr);
    // The discarded device left no record behind: two modems of the longest
    // name that fits hand the link over between themselves alone.
    const std::u16string longest(63, u'M');
    auto* a = plug_modem(u"COM5", longest);
    auto* b = plug_modem(u"COM6", longest);
    const std::u16string link = u"\\DosDevices\\" + longest;
    ASSERT_EQ(host::io::create_symbolic_link(link, a->pdo_name), STATUS_SUCCESS);
    host_->remove(a);
    EXPECT_EQ(host::io::resolve_link(link), b->pdo_name);
}

}  // namespace
}  // namespace drvtest
