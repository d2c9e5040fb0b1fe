add_cassasync_test(NAME shop_tests LABEL unit SOURCES
  shop/shop_demo_test.cpp
)
