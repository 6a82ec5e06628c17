#include "demo_content.h"

namespace DemoData {

namespace {

QStringList split(const char *words)
{
    return QString::fromUtf8(words).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

} // namespace

QString personName(Random &random, bool female)
{
    static const QStringList surnames = split(
        "王 李 张 刘 陈 杨 黄 赵 吴 周 徐 孙 马 朱 胡 郭 何 高 林 罗 郑 梁 谢 宋 唐 许 韩 冯 邓 曹 "
        "彭 曾 肖 田 董 袁 潘 于 蒋 蔡 余 杜 叶 程 苏 魏 吕 丁 任 沈 姚 卢 姜 崔 钟 谭 陆 汪 范 金 "
        "欧阳 司马 上官");
    static const QStringList female1 = split(
        "丽 娟 敏 静 燕 艳 玲 芳 婷 雪 琳 倩 莉 颖 晶 欣 怡 佳 悦 蕾 霞 萍 薇 洁 梅 琴 慧 妍 璐 瑶");
    static const QStringList female2 = split("晓 春 雅 美 思 梦 诗 雨 紫 若 子 嘉 欣 文 秀 玉 海 红 小 丹 宁 婉 心 一");
    static const QStringList male1 = split(
        "伟 强 磊 军 勇 杰 涛 明 超 刚 平 辉 鹏 华 飞 鑫 波 斌 宇 浩 凯 健 俊 帆 帅 旭 宁 龙 林 阳");
    static const QStringList male2 = split("志 建 国 家 文 子 俊 天 永 德 晓 海 明 一 正 振 立 嘉 思 宏");
    const QString &surname = random.pick(surnames);
    const QStringList &last = female ? female1 : male1;
    if (random.chance(0.35))
        return surname + random.pick(last);
    return surname + random.pick(female ? female2 : male2) + random.pick(last);
}

QString phoneNumber(Random &random)
{
    static const QStringList mobile = split(
        "130 131 132 133 134 135 136 137 138 139 150 151 152 153 155 156 157 158 159 "
        "176 177 180 181 182 183 185 186 187 188 189 199");
    static const QStringList areas = split("021 010 020 0571 0755 025 028 027");
    const int roll = random.below(100);
    if (roll < 2)
        return QString();
    if (roll < 12) { // a landline, as older records have them
        const QString area = random.pick(areas);
        QString n = QString::number(random.between(2, 8));
        for (int i = 1; i < 8; ++i)
            n += QString::number(random.below(10));
        return area + QLatin1Char('-') + n;
    }
    QString n = random.pick(mobile);
    for (int i = 0; i < 8; ++i)
        n += QString::number(random.below(10));
    return n;
}

QString address(Random &random)
{
    struct City {
        const char *name;
        const char *districts;
    };
    static const City cities[] = {
        {"上海市", "徐汇区 静安区 浦东新区 长宁区 黄浦区 闵行区 杨浦区 普陀区"},
        {"杭州市", "西湖区 上城区 拱墅区 滨江区 萧山区 余杭区"},
        {"苏州市", "姑苏区 工业园区 吴中区 相城区 虎丘区"},
        {"南京市", "玄武区 秦淮区 鼓楼区 建邺区 江宁区"},
        {"宁波市", "海曙区 江北区 鄞州区 北仑区"},
        {"无锡市", "梁溪区 滨湖区 新吴区 锡山区"},
    };
    static const QStringList roads = split(
        "人民路 解放路 中山路 建设路 南京西路 淮海中路 漕溪北路 延安西路 文三路 凤起路 "
        "新华路 长江路 和平路 友谊路 复兴路 学院路 湖滨路 东方路 天目山路 滨江大道");
    static const QStringList estates = split(
        "阳光花园 翠苑小区 金色家园 锦绣华庭 东方名城 绿地公寓 梅林新村 春江花月 世纪新城 湖畔佳苑");
    const City &city = cities[random.weighted(std::initializer_list<int>{5, 3, 2, 2, 1, 1})];
    const QStringList districts = split(city.districts);
    QString a = QString::fromUtf8(city.name) + random.pick(districts) + random.pick(roads)
                + QString::number(random.between(1, 999)) + QStringLiteral("号");
    if (random.chance(0.6))
        a += random.pick(estates) + QString::number(random.between(1, 30)) + QStringLiteral("幢")
             + QString::number(random.between(1, 28))
             + QString::number(random.between(1, 4)).rightJustified(2, QLatin1Char('0')) + QStringLiteral("室");
    return a;
}

const QList<MajorCategory> &categoryTree()
{
    static const QList<MajorCategory> tree = {
        {QStringLiteral("眼部整形"),
         26,
         {{QStringLiteral("双眼皮"), 3800, 12800},
          {QStringLiteral("开眼角"), 3000, 8800},
          {QStringLiteral("眼袋去除"), 5800, 15800},
          {QStringLiteral("提眉"), 6800, 16800}}},
        {QStringLiteral("鼻部整形"),
         18,
         {{QStringLiteral("假体隆鼻"), 8800, 26800},
          {QStringLiteral("鼻翼缩小"), 4800, 9800},
          {QStringLiteral("鼻尖整形"), 9800, 19800}}},
        {QStringLiteral("面部轮廓"),
         10,
         {{QStringLiteral("下颌角整形"), 28000, 58000},
          {QStringLiteral("颧骨缩小"), 26000, 52000},
          {QStringLiteral("隆下巴"), 6800, 16800},
          {QStringLiteral("自体脂肪填充"), 9800, 28000}}},
        {QStringLiteral("胸部整形"),
         8,
         {{QStringLiteral("假体隆胸"), 26800, 58000}, {QStringLiteral("乳头整形"), 4800, 9800}}},
        {QStringLiteral("皮肤美容"),
         24,
         {{QStringLiteral("激光祛斑"), 800, 4800},
          {QStringLiteral("光子嫩肤"), 980, 3800},
          {QStringLiteral("除皱"), 2800, 12800},
          {QStringLiteral("祛痘"), 600, 2800},
          {QStringLiteral("激光脱毛"), 800, 3800}}},
        {QStringLiteral("吸脂塑形"),
         14,
         {{QStringLiteral("腰腹吸脂"), 12800, 32800},
          {QStringLiteral("大腿吸脂"), 12800, 29800},
          {QStringLiteral("手臂吸脂"), 8800, 18800},
          {QStringLiteral("自体脂肪填充"), 9800, 28000}}},
    };
    return tree;
}

const QStringList &surgeons()
{
    static const QStringList list = split("王医生 李明华 张医生 刘建国 陈静怡 杨晓燕 赵医生 周志强");
    return list;
}

QString amount(Random &random, int minPrice, int maxPrice)
{
    int price = random.between(minPrice / 100, maxPrice / 100) * 100;
    if (price >= 1000 && random.chance(0.6)) // the clinic's favourite endings: ...800, ...900
        price = price / 1000 * 1000 + (random.chance(0.7) ? 800 : 900);
    return QString::number(price);
}

} // namespace DemoData
