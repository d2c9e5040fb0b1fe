// The VAT summary: slots by first occurrence of a code, rates from `aliquote`, the
// gross-to-net step, negative net amounts, the seven-slot limit.
#include <gtest/gtest.h>

#include "sales/vat_lookup.h"
#include "support/shop_fixture.h"

namespace cassasync::sales {
namespace {

class VatLookupTest : public testing::ShopTest {
protected:
    void SetUp() override {
        ready();
        riepilogo_.clear();
    }

    void add(std::string_view code, double net, double gross = 0.0, std::string_view mode = kSalesMode) {
        Cerca_Aliquota(ctx_->databases.central(), riepilogo_, code, mode, gross, net);
    }
    const VatSlot& slot(int k) const { return riepilogo_.slots[static_cast<std::size_t>(k)]; }
    void expect_free_from(int first) const {
        for (int k = first; k <= kVatSlots; ++k) {
            EXPECT_EQ(slot(k).code, "  ") << "slot " << k;
            EXPECT_EQ(slot(k).taxable, 0.0f) << "slot " << k;
            EXPECT_EQ(slot(k).vat, 0.0f) << "slot " << k;
        }
    }

    Riepilogo_Iva riepilogo_;
};

TEST_F(VatLookupTest, CodesTakeSlotsInTheOrderTheyFirstOccur) {
    add("10", 10.00);
    add("22", 20.00);
    add("10", 5.00);

    EXPECT_EQ(slot(1).code, "10");
    EXPECT_FLOAT_EQ(slot(1).taxable, 15.00f);
    EXPECT_FLOAT_EQ(slot(1).vat, 1.50f);
    EXPECT_EQ(slot(2).code, "22");
    EXPECT_FLOAT_EQ(slot(2).taxable, 20.00f);
    EXPECT_FLOAT_EQ(slot(2).vat, 4.40f);
    expect_free_from(3);
}

TEST_F(VatLookupTest, NetAndGrossAmounts) {
    // No gross amount: the net amount is taken as it is.
    add("22", 100.00);
    EXPECT_EQ(slot(1).code, "22");
    EXPECT_FLOAT_EQ(slot(1).taxable, 100.00f);
    EXPECT_FLOAT_EQ(slot(1).vat, 22.00f);

    // A gross amount above the net one becomes the net amount: 122 / 1.22.
    riepilogo_.clear();
    add("22", 0.0, 122.00);
    EXPECT_FLOAT_EQ(slot(1).taxable, 100.00f);
    EXPECT_FLOAT_EQ(slot(1).vat, 22.00f);

    // ... rounded to 4 decimals: 10 / 1.22 = 8.196721... -> 8.1967.
    riepilogo_.clear();
    add("22", 0.0, 10.00);
    EXPECT_EQ(slot(1).taxable, static_cast<float>(8.1967));

    // A gross amount not above the net one leaves the net amount alone.
    riepilogo_.clear();
    add("22", 50.00, 40.00);
    EXPECT_FLOAT_EQ(slot(1).taxable, 50.00f);
}

TEST_F(VatLookupTest, NegativeNetAmountIsAddedAsItIs) {
    add("22", 100.00);
    add("22", -10.00);   // a returned article
    add("10", -5.00);    // a discount line opening its own slot
    EXPECT_FLOAT_EQ(slot(1).taxable, 90.00f);
    EXPECT_FLOAT_EQ(slot(1).vat, 19.80f);
    EXPECT_EQ(slot(2).code, "10");
    EXPECT_FLOAT_EQ(slot(2).taxable, -5.00f);
    EXPECT_FLOAT_EQ(slot(2).vat, -0.50f);
}

TEST_F(VatLookupTest, MissingCodeTakesASlotWithoutVat) {
    add("77", 50.00);
    add("22", 10.00);
    EXPECT_EQ(slot(1).code, "77");
    EXPECT_FLOAT_EQ(slot(1).taxable, 50.00f);
    EXPECT_EQ(slot(1).vat, 0.0f);
    EXPECT_EQ(slot(2).code, "22");
    EXPECT_FLOAT_EQ(slot(2).vat, 2.20f);
}

TEST_F(VatLookupTest, AnEighthCodeAddsNothing) {
    const char* codes[] = {"04", "05", "10", "22", "00", "31", "32"};
    for (const char* c : codes) add(c, 10.00);
    Riepilogo_Iva before = riepilogo_;
    add("33", 1000.00);
    for (int k = 1; k <= kVatSlots; ++k) {
        EXPECT_EQ(slot(k).code, before.slots[static_cast<std::size_t>(k)].code) << "slot " << k;
        EXPECT_EQ(slot(k).taxable, 10.00f) << "slot " << k;
        EXPECT_EQ(slot(k).vat, before.slots[static_cast<std::size_t>(k)].vat) << "slot " << k;
    }
    EXPECT_EQ(slot(8).code, "  ");
    EXPECT_EQ(slot(8).taxable, 0.0f);
    // A code that already has its slot still adds when the summary is full.
    add("22", 10.00);
    EXPECT_FLOAT_EQ(slot(4).taxable, 20.00f);
    EXPECT_FLOAT_EQ(slot(4).vat, 4.40f);
}

TEST_F(VatLookupTest, OnlyTheSalesModeChangesTheSummary) {
    add("22", 100.00, 0.0, "A");
    expect_free_from(1);
}

TEST_F(VatLookupTest, RateIsRoundedToAWholeNumberHalvesToEven) {
    main_db().execute("INSERT INTO aliquote (codali, perce) VALUES ('H1', 12.5), ('H2', 13.5), ('H3', 9.6)");
    add("H1", 100.00);
    add("H2", 100.00);
    add("H3", 100.00);
    EXPECT_FLOAT_EQ(slot(1).vat, 12.00f);
    EXPECT_FLOAT_EQ(slot(2).vat, 14.00f);
    EXPECT_FLOAT_EQ(slot(3).vat, 10.00f);
}

TEST_F(VatLookupTest, NullRateIsAnError) {
    main_db().execute("INSERT INTO aliquote (codali, perce) VALUES ('NR', NULL)");
    EXPECT_THROW(add("NR", 10.00), data::DbError);
    expect_free_from(1);
}

TEST_F(VatLookupTest, CodeIsTwoCharactersLeftJustified) {
    EXPECT_EQ(codice_iva("4"), "4 ");
    EXPECT_EQ(codice_iva("221"), "22");
    EXPECT_EQ(codice_iva(""), "  ");
    // The code is looked up and stored in that form: "221" finds the rate of "22".
    add("221", 100.00);
    EXPECT_EQ(slot(1).code, "22");
    EXPECT_FLOAT_EQ(slot(1).vat, 22.00f);
}

TEST_F(VatLookupTest, ClearingTouchesOnlySlotsOneToSeven) {
    riepilogo_.slots[0].code = "99";
    riepilogo_.slots[8].taxable = 5.0f;
    add("10", 10.00);
    riepilogo_.clear();
    expect_free_from(1);
    EXPECT_EQ(riepilogo_.slots[0].code, "99");
    EXPECT_EQ(riepilogo_.slots[8].taxable, 5.0f);
}

}  // namespace
}  // namespace cassasync::sales
