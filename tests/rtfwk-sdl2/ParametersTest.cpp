#include "Parameters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace rtfwk_sdl2;

namespace
{
// A handle that records every notification it hears.
class RecordingParameter : public Parameter
{
public:
	using Parameter::Parameter;
	void OnValueChanged(int changeFlag) override { Heard.push_back(changeFlag); }
	std::vector<int> Heard;
};

Parameter WithValue(const std::string& value)
{
	Parameter p;
	p.SetValue(value);
	return p;
}
} // namespace

TEST(ParametersTest, NullParameter)
{
	Parameter p;
	EXPECT_TRUE(p.IsNull());
	EXPECT_EQ("", p.Value());
	EXPECT_EQ(7, p.AsInteger(7));
	EXPECT_DOUBLE_EQ(2.5, p.AsFloat(2.5));
	p.SetCaption("c");
	EXPECT_EQ("", p.Caption());
	EXPECT_TRUE(!p.Rule());
	EXPECT_FALSE(p.Modified());
}

TEST(ParametersTest, FirstValueCreatesDataAndAnnouncesAll)
{
	const uint64_t before = ParameterData::GetNumInstances();
	{
		RecordingParameter p;
		p.SetValue("5");
		EXPECT_EQ(before + 1, ParameterData::GetNumInstances());
		EXPECT_EQ("5", p.Value());
		EXPECT_EQ("5", p.OldValue());
		EXPECT_FALSE(p.Modified());
		ASSERT_FALSE(p.Heard.empty());
		EXPECT_EQ(ParamChangeListener::ALL, p.Heard.back());

		p.Heard.clear();
		p.SetValue("5");
		EXPECT_TRUE(p.Heard.empty()) << "the same value announces nothing";
		p.SetValue("6");
		EXPECT_EQ(std::vector<int>{ParamChangeListener::VALUE}, p.Heard);
		EXPECT_TRUE(p.Modified());
		EXPECT_EQ(ParamChangeListener::VALUE | ParamChangeListener::ALL, p.Changes());

		p.UpdateOldValue();
		EXPECT_FALSE(p.Modified());
		EXPECT_EQ(0, p.Changes());
		EXPECT_EQ(ParamChangeListener::OLD_VALUE, p.Heard.back());
	}
	EXPECT_EQ(before, ParameterData::GetNumInstances()) << "the data dies with its last handle";
}

TEST(ParametersTest, AsIntegerAsFloatIsInteger)
{
	struct Case
	{
		const char* Text;
		int64_t AsInteger; // with onError -1
		bool IsInteger;
		double AsFloat; // with onError -2.5
		bool IsDouble;
	};
	const Case cases[] = {
	    {"", -1, false, -2.5, false},
	    {"42", 42, true, 42.0, true},
	    {" 42", 42, false, 42.0, false},
	    {"12abc", 12, false, 12.0, false},
	    {"abc", 0, false, -2.5, false},
	    {"-7", -7, true, -7.0, true},
	    {"99999999999999999999", 0, false, 1e20, true},
	    {"1.5", 1, false, 1.5, true},
	    {"1e50", 1, false, -2.5, true},
	    {"0.1", 0, false, static_cast<double>(0.1f), true},
	};
	for (const Case& c : cases)
	{
		SCOPED_TRACE(std::string("text '") + c.Text + "'");
		Parameter p;
		if (*c.Text != '\0')
			p.SetValue(c.Text);
		else
			p.Instantiate();
		EXPECT_EQ(c.AsInteger, p.AsInteger(-1));
		EXPECT_EQ(c.IsInteger, p.IsInteger());
		if (std::fabs(c.AsFloat) > 1e10)
			EXPECT_NEAR(c.AsFloat, p.AsFloat(-2.5), c.AsFloat * 1e-6);
		else
			EXPECT_DOUBLE_EQ(c.AsFloat, p.AsFloat(-2.5));
		EXPECT_EQ(c.IsDouble, p.IsDouble());
	}
}

TEST(ParametersTest, SharedDataNotifiesEveryHandle)
{
	RecordingParameter a;
	a.SetValue("x");
	RecordingParameter b;
	EXPECT_EQ(ParamChangeListener::ALL, b.StealFrom(a));
	a.Heard.clear();
	b.Heard.clear();

	b.SetValue("y");
	EXPECT_EQ("y", a.Value());
	EXPECT_EQ(std::vector<int>{ParamChangeListener::VALUE}, a.Heard);
	EXPECT_EQ(std::vector<int>{ParamChangeListener::VALUE}, b.Heard);
	EXPECT_EQ(a.GetData(), b.GetData());

	b.Clear();
	a.SetValue("z");
	EXPECT_EQ(1u, b.Heard.size()) << "a cleared handle no longer hears the data";
}

TEST(ParametersTest, EditBatchesNotifications)
{
	RecordingParameter p;
	p.SetValue("a");
	p.Heard.clear();

	p.BeginEdit();
	p.BeginEdit();
	p.SetValue("b");
	p.SetCaption("caption");
	p.SetDescription("description");
	EXPECT_EQ(0, p.EndEdit()) << "only the outermost EndEdit announces";
	EXPECT_TRUE(p.Heard.empty());
	EXPECT_EQ(7, p.EndEdit());
	EXPECT_EQ(std::vector<int>{7}, p.Heard);
	EXPECT_EQ(0, p.EndEdit()) << "a surplus EndEdit does nothing";

	RecordingParameter fresh;
	fresh.BeginEdit();
	fresh.SetValue("v");
	fresh.SetCaption("c");
	EXPECT_EQ(ParamChangeListener::ALL, fresh.EndEdit());
	EXPECT_EQ(std::vector<int>{ParamChangeListener::ALL}, fresh.Heard);
}

TEST(ParametersTest, DomainClassification)
{
	struct Case
	{
		const char* Domain;
		const char* ClientID;
		ParameterDomain Expected;
	};
	const Case cases[] = {
	    {"abc", "abc_1", PARAM_GROUP},
	    {"abc_1", "abc_1", PARAM_MINE},
	    {"xyz_2", "abc_1", PARAM_OTHER},
	    {"GLOBAL", "abc_1", PARAM_GLOBAL},
	    {"GLOBAL", "GLOBAL", PARAM_GLOBAL},
	    {"", "abc_1", PARAM_CACHE},
	    {"", "", PARAM_MINE},
	};
	for (const Case& c : cases)
	{
		SCOPED_TRACE(std::string(c.Domain) + " for " + c.ClientID);
		EXPECT_EQ(c.Expected, Parameter(c.Domain).Domain(c.ClientID));
	}
}

TEST(ParametersTest, RulesAndLimits)
{
	RecordingParameter p;
	p.SetValue("b");
	ParameterRule options;
	options.Restriction = 1024;
	options.Limits.AddList(ValueLimitList{ValueLimit(ELimitType::Equal, "a"), ValueLimit(ELimitType::Equal, "b")});
	p.Heard.clear();
	p.SetRule(options);
	EXPECT_EQ(std::vector<int>{ParamChangeListener::RULES}, p.Heard);
	EXPECT_EQ(1024, p.IsRestricted(1025));
	EXPECT_EQ(0, p.IsRestricted(1));

	EXPECT_TRUE(p.IsValueOK("a"));
	EXPECT_FALSE(p.IsValueOK("c"));
	p.SetValue("c");
	EXPECT_EQ("b", p.Value()) << "a value outside the limits is refused";
	p.SetValue("a");
	EXPECT_EQ("a", p.Value());

	ParameterRule other;
	other.Restriction = 1;
	p.SetRule(other);
	EXPECT_EQ(1024, p.Rule().Restriction) << "a non-empty rule does not replace another";
	p.SetRule(ParameterRule());
	EXPECT_TRUE(!p.Rule());
}

TEST(ParametersTest, AssignDataAndCopyFrom)
{
	Parameter source = WithValue("v");
	source.SetCaption("cap");

	RecordingParameter target;
	target.SetValue("old");
	target.Heard.clear();
	EXPECT_EQ(ParamChangeListener::VALUE | ParamChangeListener::CAPTION, target.CopyFrom(source));
	EXPECT_EQ("v", target.Value());
	EXPECT_EQ("cap", target.Caption());
	EXPECT_NE(source.GetData(), target.GetData()) << "CopyFrom keeps its own data";

	ParameterData data;
	data.SetValueText("w");
	RecordingParameter assigned;
	static_cast<Parameter&>(assigned) = data;
	EXPECT_EQ("w", assigned.Value());
	EXPECT_EQ(1, assigned.GetData()->FindListener(&assigned) + 1) << "still a listener of its data";

	target.Reset();
	EXPECT_EQ("old", target.Value());
}
