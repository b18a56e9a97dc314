#pragma once

// Window layouts are laid out in twips (1/1440 inch); at 96 dots per inch a pixel is 15 twips.
constexpr int Twips(int twips)
{
    return (twips + 7) / 15;
}
