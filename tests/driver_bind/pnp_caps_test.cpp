// The PnP capabilities hardware preparation reports: the framework's
// defaults but for the UI number, which the bus gives each function.
#include "bind_fixture.h"

#include "host/wdf/fx.h"

namespace bindtest {
namespace {

class PnpCapsTest : public BindTest, public ::testing::WithParamInterface<bool> {
protected:
    const WDF_DEVICE_PNP_CAPABILITIES& caps() const
    {
        return host::wdf::device_of(node_->pdo->upper)->pnp_capabilities;
    }
};

TEST_P(PnpCapsTest, TheUiNumberComesFromTheBusAndTheRestIsLeftToTheFramework)
{
    bool control = GetParam();
    bus::FunctionConfig config;
    config.ui_number = 9;
    config.serial_control_device = control;
    make(config);
    ASSERT_NE(plug(control), nullptr);
    bus::DcChild& child = control ? *fn_->control() : fn_->port();
    EXPECT_EQ(child.calls("get_ui_number"), 1);

    EXPECT_EQ(caps().UINumber, control ? 10u : 9u);   // the bus numbers the control device next
    EXPECT_EQ(caps().Address, 0xFFFFFFFFu);
    const WDF_TRI_STATE yes_no[] = { caps().LockSupported, caps().EjectSupported, caps().Removable,
                                     caps().DockDevice,    caps().UniqueID,       caps().SilentInstall,
                                     caps().SurpriseRemovalOK, caps().HardwareDisabled, caps().NoDisplayInUI };
    for (WDF_TRI_STATE value : yes_no)
        EXPECT_EQ(value, WdfUseDefault);
}

INSTANTIATE_TEST_SUITE_P(Children, PnpCapsTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "control_device" : "port"; });

}  // namespace
}  // namespace bindtest
