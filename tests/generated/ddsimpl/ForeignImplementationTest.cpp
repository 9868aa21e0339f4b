#include "EntityTypes.hpp"
#include "SampleValues.hpp"
#include "ps/DataEntityCreation.hpp"

#include <qara/nimb/Exceptions.hpp>

#include <gtest/gtest.h>
#include <log4cplus/appender.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tarvex_test {
namespace {

using Medium = impl::SaMeasurements_medium;
using MediumInterface = ::tarvex::SaMeasurements_medium;

// Another implementation of the interface, over plain members instead of a wire sample.
class PlainMedium : public MediumInterface
{
public:
    int32_t actuatorState = 0;
    int32_t powerState = 0;
    int32_t controlState = 0;
    bool degradedMode = false;
    int32_t simulationMode = 0;

    int32_t getImplementations_fb_main_cell_sttlm_esaactuatorstate() const override { return actuatorState; }
    void setImplementations_fb_main_cell_sttlm_esaactuatorstate(int32_t value) override { actuatorState = value; }
    int32_t getImplementations_fb_main_cell_sttlm_esapowerstate() const override { return powerState; }
    void setImplementations_fb_main_cell_sttlm_esapowerstate(int32_t value) override { powerState = value; }
    int32_t getImplementations_fb_main_cell_sttlm_econtrolstate() const override { return controlState; }
    void setImplementations_fb_main_cell_sttlm_econtrolstate(int32_t value) override { controlState = value; }
    bool getImplementations_fb_main_cell_sttlm_stdegradedmode_bsa_degradedmodeenable() const override
    {
        return degradedMode;
    }
    void setImplementations_fb_main_cell_sttlm_stdegradedmode_bsa_degradedmodeenable(bool value) override
    {
        degradedMode = value;
    }
    int32_t getImplementations_fb_main_cell_sttlm_stsimulationmode_esasimulationmode() const override
    {
        return simulationMode;
    }
    void setImplementations_fb_main_cell_sttlm_stsimulationmode_esasimulationmode(int32_t value) override
    {
        simulationMode = value;
    }

    std::unique_ptr<MediumInterface> clone() const override { return std::make_unique<PlainMedium>(*this); }
    bool keyEquals(const MediumInterface&) const override { return false; }
    std::unique_ptr<MediumInterface> cloneKey() const override { return std::make_unique<PlainMedium>(); }
    bool hasKey() const override { return false; }
};

// Keeps every event logged to it.
class CapturingAppender : public log4cplus::Appender
{
public:
    ~CapturingAppender() override { destructorImpl(); }

    void close() override {}

    std::vector<std::pair<log4cplus::LogLevel, std::string>> events;

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override
    {
        events.emplace_back(event.getLogLevel(), event.getMessage());
    }
};

TEST(ForeignImplementation, ObtainImplRejectsItAndLogsAtError)
{
    using qara::nimb::ps::obtainImpl;
    static const std::string message = "Data type for instance or value is incorrect. Not a DDS supported type";
    log4cplus::Initializer initializer;
    auto logger = log4cplus::Logger::getInstance("nimbObtainImplTest");
    logger.setAdditivity(false);
    auto* capture = new CapturingAppender;
    log4cplus::SharedAppenderPtr appender(capture);
    logger.addAppender(appender);

    Medium entity;
    EXPECT_EQ((&obtainImpl<MediumInterface, Medium>(entity, logger)), &entity);
    EXPECT_EQ((&obtainImpl<MediumInterface, Medium>(static_cast<const MediumInterface&>(entity), logger)), &entity);
    EXPECT_TRUE(capture->events.empty());

    PlainMedium foreign;
    for (bool asConst : {false, true})
    {
        SCOPED_TRACE(asConst ? "const" : "mutable");
        try
        {
            if (asConst)
            {
                obtainImpl<MediumInterface, Medium>(static_cast<const MediumInterface&>(foreign), logger);
            }
            else
            {
                obtainImpl<MediumInterface, Medium>(foreign, logger);
            }
            ADD_FAILURE() << "a foreign implementation was accepted";
        }
        catch (const qara::nimb::IllegalStateException& e)
        {
            EXPECT_EQ(e.what(), message);
        }
    }
    const std::vector<std::pair<log4cplus::LogLevel, std::string>> expected(2, {log4cplus::ERROR_LOG_LEVEL, message});
    EXPECT_EQ(capture->events, expected);
    logger.removeAppender(appender);
}

TEST(ForeignImplementation, InterfaceAssignmentWorksBothWays)
{
    const auto source = makeDistinctSample<Medium::DdsType>(1);
    Medium entity;
    entity = source;

    PlainMedium foreign;
    static_cast<MediumInterface&>(foreign) = entity;
    EXPECT_EQ(foreign.actuatorState, source.implementations_fb_main_cell_sttlm_esaactuatorstate());
    EXPECT_EQ(foreign.powerState, source.implementations_fb_main_cell_sttlm_esapowerstate());
    EXPECT_EQ(foreign.controlState, source.implementations_fb_main_cell_sttlm_econtrolstate());
    EXPECT_EQ(foreign.degradedMode, source.implementations_fb_main_cell_sttlm_stdegradedmode_bsa_degradedmodeenable());
    EXPECT_EQ(foreign.simulationMode, source.implementations_fb_main_cell_sttlm_stsimulationmode_esasimulationmode());

    Medium copy;
    static_cast<MediumInterface&>(copy) = foreign;
    EXPECT_EQ(*copy.getDdsSample(), source);
}

}  // namespace
}  // namespace tarvex_test
