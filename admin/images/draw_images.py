#!/usr/bin/python3
"""Draws the admin server's images (icons, logos, page background) into this
directory. Run by hand when a picture changes (needs python3-pil); the build
only embeds the files this produced."""
from pathlib import Path

from PIL import Image, ImageDraw, ImageFilter

HERE = Path(__file__).resolve().parent
WHITE, BLACK, GREY = (255, 255, 255), (0, 0, 0), (128, 128, 128)
RED, BLUE, YELLOW = (204, 0, 0), (0, 0, 204), (255, 204, 51)


def save_gif(img, name, colors=32):
    img.convert("P", palette=Image.ADAPTIVE, colors=colors).save(HERE / name, "GIF", optimize=True)


def icon(draw_fn, name, size=(20, 22)):
    img = Image.new("RGB", size, WHITE)
    draw_fn(ImageDraw.Draw(img))
    save_gif(img, name)


def page(d, fold=True):
    d.polygon([(3, 1), (13, 1), (17, 5), (17, 20), (3, 20)], fill=WHITE, outline=BLACK)
    if fold:
        d.line([(13, 1), (13, 5), (17, 5)], fill=BLACK)


def text_icon(d):
    page(d)
    for y in range(7, 19, 3):
        d.line([(5, y), (15, y)], fill=GREY)


def binary_icon(d):
    page(d)
    for y in (7, 12, 17):
        for x in range(5, 16, 3):
            d.point((x, y), fill=BLUE if (x + y) % 2 else BLACK)


def sound_icon(d):
    page(d)
    d.ellipse([5, 14, 9, 18], fill=BLACK)
    d.line([(9, 16), (9, 7), (14, 9)], fill=BLACK, width=1)


def movie_icon(d):
    page(d)
    d.rectangle([5, 8, 15, 17], fill=BLACK)
    for y in (9, 12, 15):
        d.point((6, y), fill=WHITE)
        d.point((14, y), fill=WHITE)


def image_icon(d):
    page(d)
    d.polygon([(5, 18), (9, 11), (12, 15), (14, 13), (16, 18)], fill=(0, 153, 0))
    d.ellipse([11, 7, 14, 10], fill=YELLOW)


def unknown_icon(d):
    page(d)
    d.arc([7, 6, 13, 12], 180, 90, fill=RED, width=2)
    d.line([(10, 12), (10, 14)], fill=RED, width=2)
    d.point((10, 17), fill=RED)


def index_icon(d):
    page(d, fold=False)
    for y in range(4, 19, 3):
        d.rectangle([5, y, 6, y + 1], fill=BLUE)
        d.line([(8, y), (15, y)], fill=BLACK)


def folder(d, open_=False):
    d.rectangle([1, 6, 8, 8], fill=YELLOW, outline=BLACK)
    d.rectangle([1, 8, 18, 19], fill=YELLOW, outline=BLACK)
    if open_:
        d.polygon([(4, 11), (19, 11), (16, 19), (1, 19)], fill=(255, 230, 140), outline=BLACK)


def link_icon(d):
    page(d)
    d.line([(6, 16), (14, 8)], fill=BLUE, width=2)
    d.polygon([(10, 8), (14, 8), (14, 12)], fill=BLUE)


def find_icon(d):
    d.ellipse([2, 2, 13, 13], outline=BLACK, width=2)
    d.ellipse([5, 5, 10, 10], fill=(180, 220, 255))
    d.line([(12, 12), (18, 19)], fill=BLACK, width=3)


def cross_icon(d):
    d.line([(2, 2), (10, 10)], fill=RED, width=2)
    d.line([(10, 2), (2, 10)], fill=RED, width=2)


def logo(name, size, text_size):
    w, h = size
    img = Image.new("RGB", size, WHITE)
    d = ImageDraw.Draw(img)
    for i in range(h):
        shade = 255 - i * 60 // h
        d.line([(0, i), (w, i)], fill=(shade, shade, 255))
    d.rectangle([0, 0, w - 1, h - 1], outline=BLUE)
    x, y = w // 10, h // 3
    scale = text_size
    # Block letters K V, so the logo needs no font file.
    for k, colour in ((0, RED), (1, BLUE)):
        ox = x + k * scale * 3
        if k == 0:
            d.line([(ox, y), (ox, y + 2 * scale)], fill=colour, width=max(2, scale // 3))
            d.line([(ox, y + scale), (ox + scale * 2, y)], fill=colour, width=max(2, scale // 3))
            d.line([(ox, y + scale), (ox + scale * 2, y + 2 * scale)], fill=colour, width=max(2, scale // 3))
        else:
            d.line([(ox, y), (ox + scale, y + 2 * scale)], fill=colour, width=max(2, scale // 3))
            d.line([(ox + scale, y + 2 * scale), (ox + scale * 2, y)], fill=colour, width=max(2, scale // 3))
    d.text((x + scale * 7, y + scale // 2), "Korvanet", fill=BLACK)
    save_gif(img, name)


def credit_picture():
    img = Image.new("RGB", (96, 64), WHITE)
    d = ImageDraw.Draw(img)
    for i in range(8):
        d.ellipse([i * 6, i * 4, 96 - i * 6, 64 - i * 4], outline=(255 - i * 30, 80 + i * 20, i * 30))
    d.text((22, 26), "Tarnwick", fill=BLACK)
    save_gif(img, "tallow.gif")


def banner():
    img = Image.new("RGB", (160, 28), (0, 0, 120))
    d = ImageDraw.Draw(img)
    d.text((8, 8), "Korvanet configuration", fill=WHITE)
    save_gif(img, "kvconfig.gif")


def background():
    tile = Image.new("RGB", (128, 128), (192, 192, 192))
    d = ImageDraw.Draw(tile)
    for x in range(0, 128, 8):
        for y in range(0, 128, 8):
            v = 184 + ((x * 7 + y * 13) % 17)
            d.rectangle([x, y, x + 7, y + 7], fill=(v, v, v + 4))
    # Blur a 3 x 3 tiling and keep its middle, so the page shows no seams.
    big = Image.new("RGB", (384, 384))
    for i in range(3):
        for j in range(3):
            big.paste(tile, (i * 128, j * 128))
    img = big.filter(ImageFilter.GaussianBlur(2)).crop((128, 128, 256, 256))
    # A JPEG under the .gif name: the body attribute names it so.
    img.save(HERE / "background.gif", "JPEG", quality=60)


def main():
    icon(index_icon, "index.gif")
    icon(folder, "dir.gif")
    icon(lambda d: folder(d, True), "diropen.gif")
    icon(link_icon, "link.gif")
    icon(text_icon, "text.gif")
    icon(binary_icon, "binary.gif")
    icon(sound_icon, "sound.gif")
    icon(movie_icon, "movie.gif")
    icon(image_icon, "image.gif")
    icon(unknown_icon, "unknown.gif")
    icon(find_icon, "find.gif")
    icon(cross_icon, "cross.gif", (12, 12))
    dot = Image.new("RGB", (1, 1), WHITE)
    save_gif(dot, "dot.gif")
    logo("logo.gif", (240, 72), 12)
    logo("minilogo.gif", (100, 30), 5)
    credit_picture()
    banner()
    background()


if __name__ == "__main__":
    main()
