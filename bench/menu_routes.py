#!/usr/bin/env python3
"""Menu get and menu save timed at the client against the real program on loopback.

    python3 bench/menu_routes.py [build folder] [runs]

Get: a menu over a catalogue of 1000 products in 60 categories. Save: a 200-item menu sent back
as the browser sends it (the answer of get, with every price changed), once with a catalogue of
just those 200 products and once inside the 1000-product catalogue. Prints the median and the
best of the runs in milliseconds, and the body sizes."""
import json
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True
from live_program import LiveProgram

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 30


def add_menu(server, business, categories, items_per_category, visible):
    body = {"name": "Bench", "restaurant_id": business, "settings": {"template": "classic"}, "rcategories": [
        {"name": "Category %d" % c, "description": "Dishes of group %d" % c, "hidden": not visible, "ritems": [
            {"name": "Dish %d-%d" % (c, i), "detail": "With a sauce of the day and a side", "price": str(450 + i),
             "extras": "vegan", "hidden": not visible} for i in range(items_per_category)]}
        for c in range(categories)]}
    return json.loads(server.request("POST", "/api/menu/add", json.dumps(body)))["id"]


def timed(action):
    figures = []
    for _ in range(runs):
        start = time.perf_counter()
        action()
        figures.append((time.perf_counter() - start) * 1000)
    return statistics.median(figures), min(figures)


def save_body(server, menu, round_number):
    page = json.loads(server.request("GET", "/api/menu/get?id=" + menu))
    for category in page["rcategories"]:
        for item in category["ritems"]:
            item["price"] = str(int(item["price"]) + round_number)
    return json.dumps(page)


def bench_save(server, menu, label):
    bodies = [save_body(server, menu, n) for n in range(runs)]
    it = iter(bodies)
    median, best = timed(lambda: server.request("POST", "/api/menu/save", next(it)))
    print("%-52s median %7.2f ms   best %7.2f ms   body %d bytes" % (label, median, best, len(bodies[0])))
    return median


def main():
    server = LiveProgram(build)
    try:
        business = json.loads(server.request("POST", "/api/business/add", json.dumps(
            {"name": "Bench", "address": "", "phone": "", "email": "", "website": ""})))["id"]
        # 1000 products in 60 categories: 40 categories of 17 and 20 of 16.
        menu = add_menu(server, business, 40, 17, True)
        add_menu(server, business, 20, 16, False)
        size = len(server.request("GET", "/api/menu/get?id=" + menu))
        median, best = timed(lambda: server.request("GET", "/api/menu/get?id=" + menu))
        print("%-52s median %7.2f ms   best %7.2f ms   body %d bytes" % ("api/menu/get, 1000 products in 60 categories", median, best, size))
        get_median = median
        bench_save(server, menu, "api/menu/save, the whole 1000-product catalogue")
    finally:
        server.stop()

    server = LiveProgram(build)
    try:
        business = json.loads(server.request("POST", "/api/business/add", json.dumps(
            {"name": "Bench", "address": "", "phone": "", "email": "", "website": ""})))["id"]
        menu = add_menu(server, business, 10, 20, True)
        save_median = bench_save(server, menu, "api/menu/save, a 200-item menu")
    finally:
        server.stop()
    print("budgets: get under 10 ms (%s), save of 200 items under 50 ms (%s)" %
          ("met" if get_median < 10 else "MISSED", "met" if save_median < 50 else "MISSED"))


main()
